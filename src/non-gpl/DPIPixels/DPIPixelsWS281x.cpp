// WS281x over DPI. Every WS281x bit is three phases (start: high, data, end: low) of
// pixelsPerPhase pixels; a pixel's 24 bits are the 24 lines at that moment. The start phases and
// latch levels never change, so they are painted once into every page, and a frame rewrites
// only the data phases: per row of the frame (one byte of every string) eight 24-bit values. (The
// fast writers store painted bytes along with the data where that makes fewer, wider stores; the
// bytes they store there are the painted ones.)

#include "DPIPixels.h"
#include "DPIPixelsShuffledRows.h"
#include "DPIPixelsWholeLines.h"

#include "channeloutput/PixelStringTester.h"
#include "common/Log.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/CpuFeatures.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(KIV_HAVE_X86_SIMD) && defined(__SSE2__)
#define KIV_DPI_WIDE_BLOCKS 1 // AVX2 transposition, chosen at run time
#include <immintrin.h>
// Wide vectors pass only between always-inlined helpers inside AVX2 functions, never across a
// call, so the ABI note GCC gives for them does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace {

constexpr int BYTES_PER_PIXEL = 3;
constexpr int32_t ALL_LINES = 0xFFFFFF;

// A pixel value in putPhase's form: its bytes in the order they are stored.
uint32_t inMemoryOrder(int32_t value) {
    return uint32_t(uint8_t(value >> 16)) | uint32_t(uint8_t(value >> 8)) << 8 |
           uint32_t(uint8_t(value)) << 16;
}

void putPixels(uint8_t* at, int32_t value, int count) {
    for (int k = 0; k < count; k++, at += BYTES_PER_PIXEL) {
        at[0] = uint8_t(value >> 16);
        at[1] = uint8_t(value >> 8);
        at[2] = uint8_t(value);
    }
}

// 8x8 bit transposition: bit c of byte r swaps with bit r of byte c.
inline uint64_t transpose8(uint64_t x) {
    uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAULL;
    x ^= t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCULL;
    x ^= t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ULL;
    return x ^ t ^ (t << 28);
}

// One data phase: PPP pixels of value `pixel`, whose bytes in memory order are its low three
// (the first one holds lines 0 to 7); its fourth byte is the first of the end phase that follows,
// which a single-pixel phase stores along with its own three. A three-pixel phase is stored with
// the seven bytes of latch level after it (`after`: bytes 1 to 7 of a word), as one wide store.
template <int PPP> inline void putPhase(uint8_t* at, uint32_t pixel, uint64_t after) {
    if constexpr (PPP == 1 && std::endian::native == std::endian::little) {
        std::memcpy(at, &pixel, sizeof(pixel));
    } else if constexpr (PPP == 3 && std::endian::native == std::endian::little) {
        const uint64_t three = pixel & 0xFFFFFF;
        const uint64_t words[2] = {three | three << 24 | three << 48, three >> 16 | after};
#if defined(__SSE2__)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                         _mm_set_epi64x(int64_t(words[1]), int64_t(words[0])));
#else
        std::memcpy(at, words, sizeof(words));
#endif
    } else {
        for (int k = 0; k < PPP; k++, at += BYTES_PER_PIXEL) {
            at[0] = uint8_t(pixel);
            at[1] = uint8_t(pixel >> 8);
            at[2] = uint8_t(pixel >> 16);
        }
    }
}

// What an idle line reads: enough zeros for every row a page can hold (324 lines of 15 rows).
alignas(64) constexpr uint8_t IDLE_LINE[8192] = {};
static_assert(sizeof(IDLE_LINE) >= 324 * 15 + 64, "an idle line covers the tallest page's rows");

constexpr int BLOCK_ROWS = 16;
static_assert(STAGED_ROWS % (2 * BLOCK_ROWS) == 0, "staging holds whole AVX2 pairs of blocks");

// The eight data-phase pixels of a row from its three lane words, in putPhase's form (the path of
// processors without SSE2, and of tests that turn the extensions off).
inline void rowPixels(const uint64_t* lanes, uint32_t latch, StagedPixels& out, int row) {
    const uint64_t t0 = transpose8(lanes[0]);
    const uint64_t t1 = transpose8(lanes[1]);
    const uint64_t t2 = transpose8(lanes[2]);
    for (int b = 0; b < 8; b++) {
        const int shift = 8 * (7 - b);
        out[b][row] = (uint32_t(uint8_t(t0 >> shift)) | uint32_t(uint8_t(t1 >> shift)) << 8 |
                       uint32_t(uint8_t(t2 >> shift)) << 16) |
                      latch;
    }
}

#if defined(__SSE2__)
// Rows of bytes as vectors of 64-bit lanes: the bit shifts below are masked within bytes, so the
// lane width does not matter, and one template serves both widths.
using Bytes16 = uint64_t __attribute__((vector_size(16)));
#if defined(KIV_DPI_WIDE_BLOCKS)
using Bytes32 = uint64_t __attribute__((vector_size(32)));
#endif

// Exchanges bits SHIFT apart between two vectors of bytes: a's bits in mask << SHIFT with b's in mask.
template <int SHIFT, class V> [[gnu::always_inline]] inline void swapBits(V& a, V& b, const V& mask) {
    const V t = ((a >> SHIFT) ^ b) & mask;
    b ^= t;
    a ^= t << SHIFT;
}

// Rows of eight lines (v[k]: byte r is the line in slot k at row r) become eight bit planes
// (v[c]: bit k of byte r is bit c of slot k's byte at row r).
template <class V> [[gnu::always_inline]] inline void transposeLines(V* v) {
    const V m1 = V{} + 0x5555555555555555ULL, m2 = V{} + 0x3333333333333333ULL;
    const V m4 = V{} + 0x0F0F0F0F0F0F0F0FULL;
    swapBits<1>(v[0], v[1], m1);
    swapBits<1>(v[2], v[3], m1);
    swapBits<1>(v[4], v[5], m1);
    swapBits<1>(v[6], v[7], m1);
    swapBits<2>(v[0], v[2], m2);
    swapBits<2>(v[1], v[3], m2);
    swapBits<2>(v[4], v[6], m2);
    swapBits<2>(v[5], v[7], m2);
    swapBits<4>(v[0], v[4], m4);
    swapBits<4>(v[1], v[5], m4);
    swapBits<4>(v[2], v[6], m4);
    swapBits<4>(v[3], v[7], m4);
}

// A vector's worth of a string of `length` bytes from byte `first` on (zero past its end).
template <class V> [[gnu::always_inline]] inline V laneBytes(const uint8_t* string, int length, int first) {
    V v;
    const int left = length - first;
    if (left >= int(sizeof(V))) {
        std::memcpy(&v, string + first, sizeof(V));
        return v;
    }
    alignas(sizeof(V)) uint8_t tail[sizeof(V)] = {};
    if (left > 0) {
        std::memcpy(tail, string + first, size_t(left));
    }
    std::memcpy(&v, tail, sizeof(V));
    return v;
}

// The data-phase pixels of sixteen rows from the bit planes of the three groups of eight lines:
// each bit plane's bytes of the three groups are interleaved into pixels, with the latch byte as
// fourth (the next pixel's first) byte; staged from `row` on.
inline void blockPixels(const __m128i* slots, uint32_t latch, StagedPixels& out, int row) {
    const __m128i l0 = _mm_set1_epi8(char(latch)), l1 = _mm_set1_epi8(char(latch >> 8));
    const __m128i l2 = _mm_set1_epi8(char(latch >> 16)), fourth = _mm_set1_epi8(char(latch));
    for (int c = 0; c < 8; c++) {
        const __m128i p0 = _mm_or_si128(slots[c], l0), p1 = _mm_or_si128(slots[8 + c], l1);
        const __m128i p2 = _mm_or_si128(slots[16 + c], l2);
        const __m128i low01 = _mm_unpacklo_epi8(p0, p1), high01 = _mm_unpackhi_epi8(p0, p1);
        const __m128i low2 = _mm_unpacklo_epi8(p2, fourth), high2 = _mm_unpackhi_epi8(p2, fourth);
        __m128i* to = reinterpret_cast<__m128i*>(&out[7 - c][row]);
        _mm_store_si128(to, _mm_unpacklo_epi16(low01, low2));
        _mm_store_si128(to + 1, _mm_unpackhi_epi16(low01, low2));
        _mm_store_si128(to + 2, _mm_unpacklo_epi16(high01, high2));
        _mm_store_si128(to + 3, _mm_unpackhi_epi16(high01, high2));
    }
}

#if defined(KIV_DPI_WIDE_BLOCKS)
// blockPixels for 32 rows with AVX2. Its unpacks work within each 16-byte half, so the low half
// holds rows 0 to 15 and the high half rows 16 to 31; the halves are regrouped in staging.
__attribute__((target("avx2"))) void widePixels(const Bytes32* slots, uint32_t latch, StagedPixels& out,
                                                int row) {
    const __m256i l0 = _mm256_set1_epi8(char(latch)), l1 = _mm256_set1_epi8(char(latch >> 8));
    const __m256i l2 = _mm256_set1_epi8(char(latch >> 16));
    for (int c = 0; c < 8; c++) {
        const __m256i p0 = _mm256_or_si256(__m256i(slots[c]), l0);
        const __m256i p1 = _mm256_or_si256(__m256i(slots[8 + c]), l1);
        const __m256i p2 = _mm256_or_si256(__m256i(slots[16 + c]), l2);
        const __m256i low01 = _mm256_unpacklo_epi8(p0, p1), high01 = _mm256_unpackhi_epi8(p0, p1);
        const __m256i low2 = _mm256_unpacklo_epi8(p2, l0), high2 = _mm256_unpackhi_epi8(p2, l0);
        const __m256i rows0 = _mm256_unpacklo_epi16(low01, low2), rows4 = _mm256_unpackhi_epi16(low01, low2);
        const __m256i rows8 = _mm256_unpacklo_epi16(high01, high2);
        const __m256i rows12 = _mm256_unpackhi_epi16(high01, high2);
        __m256i* lowTo = reinterpret_cast<__m256i*>(&out[7 - c][row]);
        __m256i* highTo = reinterpret_cast<__m256i*>(&out[7 - c][row + BLOCK_ROWS]);
        _mm256_storeu_si256(lowTo, _mm256_permute2x128_si256(rows0, rows4, 0x20));
        _mm256_storeu_si256(lowTo + 1, _mm256_permute2x128_si256(rows8, rows12, 0x20));
        _mm256_storeu_si256(highTo, _mm256_permute2x128_si256(rows0, rows4, 0x31));
        _mm256_storeu_si256(highTo + 1, _mm256_permute2x128_si256(rows8, rows12, 0x31));
    }
}
#endif
#endif

struct RowWriter {
    uint8_t* out;
    int bit; // in the line
    int bitsPerLine;
    int lineSkip;
    uint64_t after; // for putPhase
    // Single-pixel phases go in pairs: the bytes of the phases between two data phases, in the
    // low and high word of the store (see putPhasePair).
    uint64_t pairLow, pairHigh;
};

// Data phases b and b + 1 of single-pixel bits with the end and start phases between them (and
// the first byte of bit b + 2) as one 16-byte store.
inline void putPhasePair(uint8_t* at, uint32_t first, uint32_t second, const RowWriter& w) {
    const uint64_t low = first | w.pairLow, high = uint64_t(second) << 8 | w.pairHigh;
#if defined(__SSE2__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_set_epi64x(int64_t(high), int64_t(low)));
#else
    const uint64_t words[2] = {low, high};
    std::memcpy(at, words, sizeof(words));
#endif
}

// Paints the data phases of one row of a block. The write state lives in locals while a bank is
// painted, since stores into the page could otherwise alias every field the loop reads.
template <int PPP> inline void OutputPixelRowWS281x(RowWriter& w, const StagedPixels& pixels, int row) {
    constexpr int BIT_STEP = 3 * PPP * BYTES_PER_PIXEL;
    if (PPP == 1 && std::endian::native == std::endian::little && w.bit + 8 < w.bitsPerLine) {
        // The last pair would reach into the next row's start phase, which may belong to the
        // next bank or be past the frame, so its two phases are stored on their own; the last
        // one without its end phase, which before a bank's first row holds that bank's latch.
        for (int b = 0; b < 6; b += 2) {
            putPhasePair(w.out + b * BIT_STEP, pixels[b][row], pixels[b + 1][row], w);
        }
        putPhase<PPP>(w.out + 6 * BIT_STEP, pixels[6][row], w.after);
        std::memcpy(w.out + 7 * BIT_STEP, &pixels[7][row], BYTES_PER_PIXEL);
        w.out += 8 * BIT_STEP;
        w.bit += 8;
        return;
    }
    if (w.bit + 8 < w.bitsPerLine) {
        for (int b = 0; b < 8; b++) {
            putPhase<PPP>(w.out + b * BIT_STEP, pixels[b][row], w.after);
        }
        w.out += 8 * BIT_STEP;
        w.bit += 8;
        return;
    }
    for (int b = 0; b < 8; b++) {
        putPhase<PPP>(w.out, pixels[b][row], w.after);
        if (++w.bit == w.bitsPerLine) {
            w.bit = 0;
            w.out += PPP * BYTES_PER_PIXEL + w.lineSkip;
        } else {
            w.out += BIT_STEP;
        }
    }
}

// Where the next group of rows goes when each of them lies within one line: `at` for its first
// row, `split` rows in a row from there, the rest from `nextLine` on; the writer moves past them.
// False, and the writer unchanged, otherwise.
template <int PPP> bool claimWholeRows(RowWriter& w, uint8_t*& at, uint8_t*& nextLine, int& split) {
    constexpr int BIT_STEP = 3 * PPP * BYTES_PER_PIXEL;
    uint8_t* out = w.out;
    int bit = w.bit;
    split = SHUFFLED_ROW_GROUP;
    nextLine = out;
    for (int r = 0; r < SHUFFLED_ROW_GROUP; r++) {
        if (bit + 8 > w.bitsPerLine) {
            return false;
        }
        bit += 8;
        if (bit != w.bitsPerLine) {
            out += 8 * BIT_STEP;
            continue;
        }
        bit = 0;
        out += 7 * BIT_STEP + PPP * BYTES_PER_PIXEL + w.lineSkip;
        if (r + 1 < SHUFFLED_ROW_GROUP) {
            if (split != SHUFFLED_ROW_GROUP) {
                return false; // lines too short for one break per group
            }
            split = r + 1;
            nextLine = out;
        }
    }
    at = w.out;
    w.out = out;
    w.bit = bit;
    return true;
}

// The first data phase of the next line, from that of this line's first row.
template <int PPP> uint8_t* nextLineStart(const RowWriter& w) {
    constexpr int BIT_STEP = 3 * PPP * BYTES_PER_PIXEL;
    return w.out + (w.bitsPerLine - 1) * BIT_STEP + PPP * BYTES_PER_PIXEL + w.lineSkip;
}

// Writes the first `count` staged rows: whole lines where they can, else groups of shuffled rows
// where they lie within lines, else row by row.
template <int PPP>
void paintRows(RowWriter& w, const StagedPixels& pixels, int count, const ShuffledRowPattern* shuffled,
               const WholeLinePattern* wholeLines) {
    uint8_t *at, *nextLine;
    int split;
    for (int row = 0; row < count;) {
        if (wholeLines && w.bit == 0 && row + WHOLE_LINE_ROWS <= count) {
            WriteWholeLine(pixels, row, w.out - (PPP + 1) * BYTES_PER_PIXEL, *wholeLines);
            w.out = nextLineStart<PPP>(w);
            row += WHOLE_LINE_ROWS;
        } else if (shuffled && row + SHUFFLED_ROW_GROUP <= count &&
                   claimWholeRows<PPP>(w, at, nextLine, split)) {
            WriteShuffledRows(pixels, row, at, nextLine, split, *shuffled);
            row += SHUFFLED_ROW_GROUP;
        } else {
            OutputPixelRowWS281x<PPP>(w, pixels, row);
            row++;
        }
    }
}

} // namespace

void DPIPixelsOutput::setGeometryWS281x() {
    if (fb->Width() == 1084) {
        pixelsPerPhase = 3;
        edgePixels = 2;
        protoBitsPerLine = (fb->Width() - 4) / 9;
    } else {
        pixelsPerPhase = 1;
        edgePixels = 1;
        protoBitsPerLine = (fb->Width() - 2) / (3 * pixelsPerPhase);
    }
    lineSkip = fb->RowPadding() + 2 * edgePixels * BYTES_PER_PIXEL + 2 * pixelsPerPhase * BYTES_PER_PIXEL;
}

// Rows of the frame the page holds; painting stops there whatever the configuration check allowed.
int DPIPixelsOutput::rowsThatFit() const {
    return fb->Height() * protoBitsPerLine / 8;
}

// Every line high in a start phase but the latch lines, which hold the bank's latch level.
int32_t DPIPixelsOutput::startPhaseValue() const {
    if (!latchMode) {
        return ALL_LINES;
    }
    return (ALL_LINES & ~(LatchPinAMask | LatchPinBMask | LatchPinCMask)) | latchMask;
}

void DPIPixelsOutput::paintStaticBit(uint8_t* line, int bit, bool bankStart) {
    const int ppp = pixelsPerPhase;
    uint8_t* start = line + (edgePixels + bit * 3 * ppp) * BYTES_PER_PIXEL;
    const int32_t high = startPhaseValue();
    if (latchMode) {
        if (bankStart || bit == 0) {
            putPixels(start - BYTES_PER_PIXEL, latchMask, 1);
        }
        putPixels(start + ppp * BYTES_PER_PIXEL, latchMask, 2 * ppp);
    }
    putPixels(start, high, ppp);
}

bool DPIPixelsOutput::InitializeWS281x() {
    fb->ClearAllPages();
    if (!latchMode) {
        latchMask = 0;
    }
    setGeometryWS281x();
    uint8_t* page0 = fb->BufferPage(0);
    const int fit = rowsThatFit();
    int line = 0;
    int bit = 0;
    for (Bank& bank : banks) {
        latchMask = bank.latchMask;
        PrepareShuffledRows(pixelsPerPhase, inMemoryOrder(latchMask), inMemoryOrder(startPhaseValue()),
                            bank.shuffledRows);
        std::vector<uint8_t> bankLine(fb->LineLength(), 0); // a line whose rows are all the bank's
        for (int b = 0; b < protoBitsPerLine; b++) {
            paintStaticBit(bankLine.data(), b, false);
        }
        PrepareWholeLines(pixelsPerPhase, protoBitsPerLine, bankLine.data(), fb->LineLength(),
                          bank.wholeLines);
        for (int pos = 0; pos < bank.rows && bank.firstRow + pos < fit; pos++) {
            for (int b = 0; b < 8; b++) {
                paintStaticBit(page0 + line * fb->LineLength(), bit, pos == 0 && b == 0);
                if (++bit == protoBitsPerLine) {
                    bit = 0;
                    line++;
                }
            }
        }
    }
    for (int p = 1; p < fb->Pages(); p++) {
        std::memcpy(fb->BufferPage(p), page0, fb->PageSize());
    }
    return true;
}

void DPIPixelsOutput::InitFrameWS281x() {
    bitInLine = 0;
    outPos = fb->BufferPage(page) + (pixelsPerPhase + 1) * BYTES_PER_PIXEL;
}

// Each string's bytes go down its column of a block of rows (a tight strided copy per string),
// so a row is then three plain loads instead of a gather over 24 strings.
void DPIPixelsOutput::fillRowBlock(const Bank& bank, int first, int count, const uint8_t* const* data,
                                   uint64_t* block) {
    std::fill_n(block, 3 * count, 0);
    uint8_t* base = reinterpret_cast<uint8_t*>(block);
    for (const Lane& lane : lanes[&bank - banks.data()]) {
        int byte = std::endian::native == std::endian::little ? lane.shift / 8 : 7 - lane.shift / 8;
        uint8_t* column = base + lane.word * 8 + byte;
        const uint8_t* from = data[lane.string] + first;
        const int n = std::min(lane.length - first, count);
        for (int pos = 0; pos < n; pos++) {
            column[pos * 24] |= from[pos]; // strings sharing a line are or-ed
        }
    }
}

#if defined(__SSE2__)
// The 24 bit planes of a vector's worth of rows from first on: each group of eight lines is
// transposed as soon as it is loaded, while it is in registers. WHOLE: every line has a whole
// vector of bytes there, so none is checked against its length.
template <bool WHOLE, class V>
[[gnu::always_inline]] inline void DPIPixelsOutput::bitPlanes(const LaneSources& sources, int first,
                                                              V* planes) {
#pragma GCC unroll 3
    for (int g = 0; g < 3; g++) {
        V v[8];
#pragma GCC unroll 8
        for (int k = 0; k < 8; k++) {
            const int line = 8 * g + k;
            if constexpr (WHOLE) {
                std::memcpy(&v[k], sources.bytes[line] + first, sizeof(V));
            } else {
                v[k] = laneBytes<V>(sources.bytes[line], sources.lengths[line], first);
            }
        }
        transposeLines(v);
        std::copy_n(v, 8, planes + 8 * g);
    }
}

// Strings that share a line with another string of the bank: their bits are or-ed into the
// planes (the transposition only moves bits, so it may be done for them apart).
template <class V>
void DPIPixelsOutput::addSharedLines(const Bank& bank, int first, const uint8_t* const* data, V* planes) {
    const std::vector<Lane>& bankLanes = lanes[&bank - banks.data()];
    for (int g = 0; g < 3; g++) {
        V v[8] = {};
        for (size_t extra = DATA_LINES; extra < bankLanes.size(); extra++) {
            const Lane& lane = bankLanes[extra];
            if (lane.word == g) {
                v[lane.shift / 8] |= laneBytes<V>(data[lane.string], lane.length, first);
            }
        }
        transposeLines(v);
        for (int k = 0; k < 8; k++) {
            planes[8 * g + k] |= v[k];
        }
    }
}

template <class V>
[[gnu::always_inline]] inline void DPIPixelsOutput::allBitPlanes(const Bank& bank, const LaneSources& sources,
                                                                 int first, const uint8_t* const* data,
                                                                 V* planes) {
    if (first + int(sizeof(V)) <= sources.wholeRows) {
        bitPlanes<true>(sources, first, planes);
    } else {
        bitPlanes<false>(sources, first, planes);
    }
    if (sources.shared) {
        addSharedLines(bank, first, data, planes);
    }
}
#endif

#if defined(KIV_DPI_WIDE_BLOCKS)
// Two blocks (rows first to first + 2 * BLOCK_ROWS - 1) at once with AVX2.
__attribute__((target("avx2"))) void
DPIPixelsOutput::blockPairOfPixels(const Bank& bank, const LaneSources& sources, int first,
                                   const uint8_t* const* data, uint32_t latch, StagedPixels& out, int row) {
    Bytes32 planes[DATA_LINES];
    allBitPlanes(bank, sources, first, data, planes);
    widePixels(planes, latch, out, row);
}
#endif

// The data-phase pixels of rows first to first + BLOCK_ROWS - 1 of a bank (rows past its strings'
// ends are zero). With SSE2 each line's sixteen bytes are one load and the bit transposition works
// on all sixteen rows at once; the portable path, which ARM boards run, is chosen at run time so
// that every machine builds and tests it.
void DPIPixelsOutput::blockOfPixels(const Bank& bank, const LaneSources& sources, int first,
                                    const uint8_t* const* data, uint32_t latch, StagedPixels& out, int row) {
#if defined(__SSE2__)
    if (CpuHasSSE2()) {
        Bytes16 planes[DATA_LINES];
        allBitPlanes(bank, sources, first, data, planes);
        blockPixels(reinterpret_cast<const __m128i*>(planes), latch, out, row);
        return;
    }
#endif
    uint64_t block[3 * BLOCK_ROWS];
    fillRowBlock(bank, first, BLOCK_ROWS, data, block);
    for (int r = 0; r < BLOCK_ROWS; r++) {
        rowPixels(block + 3 * r, latch, out, row + r);
    }
}

// This frame's bytes of every line of a bank; an idle line reads zeros.
DPIPixelsOutput::LaneSources DPIPixelsOutput::laneSources(const Bank& bank,
                                                          const uint8_t* const* data) const {
    const std::vector<Lane>& bankLanes = lanes[&bank - banks.data()];
    LaneSources sources;
    sources.wholeRows = int(sizeof(IDLE_LINE));
    for (int line = 0; line < DATA_LINES; line++) {
        const Lane& lane = bankLanes[line];
        const bool idle = lane.length == 0;
        sources.bytes[line] = idle ? IDLE_LINE : data[lane.string];
        sources.lengths[line] = idle ? int(sizeof(IDLE_LINE)) : lane.length;
        sources.wholeRows = std::min(sources.wholeRows, sources.lengths[line]);
    }
    sources.shared = bankLanes.size() > size_t(DATA_LINES);
    return sources;
}

template <int PPP> void DPIPixelsOutput::paintBank(const Bank& bank, const uint8_t* const* data) {
    const int rows = std::min(bank.rows, rowsThatFit() - bank.firstRow);
    latchMask = bank.latchMask;
    // The latch level in putPhase's form, its first byte repeated as the end phase's first byte.
    uint32_t latch = inMemoryOrder(latchMask);
    latch |= (latch & 0xFF) << 24;
    const uint64_t level = latch & 0xFFFFFF;
    // Between two single-pixel data phases: the end phase (latch level, its first byte already
    // in the pixel) and the start phase; after the second, its end phase's first byte and the
    // next start's first byte.
    const uint64_t high = inMemoryOrder(startPhaseValue());
    const uint64_t end = level >> 8, start = high & 0xFF;
    RowWriter w{outPos,
                bitInLine,
                protoBitsPerLine,
                lineSkip,
                level << 8 | level << 32 | uint64_t(latch) << 56,
                (end | high << 16) << 32,
                high >> 16 | (end | start << 16) << 40};
    const ShuffledRowPattern* shuffled = ShuffledRowsAvailable() ? &bank.shuffledRows : nullptr;
    const bool linesWhole = WholeLinesAvailable() && bank.wholeLines.pixelsPerPhase == PPP;
    const WholeLinePattern* wholeLines = linesWhole ? &bank.wholeLines : nullptr;
    const LaneSources sources = laneSources(bank, data);
    [[maybe_unused]] const bool wide = CpuHasAVX2();
    // The pixels of many rows are made before any of them is written: loads issued among the
    // page stores would wait for those (rarely cached) stores to complete. Runs start where lines
    // do, so that lines are staged whole, but for a bank that begins within a line: its first run
    // is the rest of that line.
    alignas(32) StagedPixels pixels;
    const int rowsPerLine = w.bitsPerLine / 8;
    const bool rowsFillLines = w.bitsPerLine % 8 == 0 && w.bit % 8 == 0 && rowsPerLine > 0;
    const int ahead = rowsFillLines ? (rowsPerLine - w.bit / 8) % rowsPerLine : 0;
    for (int run = 0; run < rows;) {
        const int runEnd = std::min(rows, run + (run == 0 && ahead > 0 ? ahead : STAGED_ROWS));
        for (int first = run; first < runEnd;) {
#if defined(KIV_DPI_WIDE_BLOCKS)
            if (wide) { // rows past the run's end come out zero and are not written
                blockPairOfPixels(bank, sources, first, data, latch, pixels, first - run);
                first += 2 * BLOCK_ROWS;
                continue;
            }
#endif
            blockOfPixels(bank, sources, first, data, latch, pixels, first - run);
            first += BLOCK_ROWS;
        }
        paintRows<PPP>(w, pixels, runEnd - run, shuffled, wholeLines);
        run = runEnd;
    }
    outPos = w.out;
    bitInLine = w.bit;
}

void DPIPixelsOutput::PrepData(unsigned char* channelData) {
    LogExcess(LG_CHANNELOUT, "DPIPixelsOutput::PrepData()\n");
    if (!fb || banks.empty()) {
        return;
    }
    page = fb->Page();
    if (protocol == "ws2811") {
        InitFrameWS281x();
    }
    const PixelStringTester* tester =
        testType != 0 && testCycle >= 0 ? PixelStringTester::getPixelStringTester(testType) : nullptr;
    for (int i = 0; i < stringCount; i++) {
        rowData[i] = tester ? tester->createTestData(strings[i], testCycle, testBrightness, channelData)
                            : strings[i]->prepareOutput(channelData);
    }
    for (const Bank& bank : banks) {
        if (bank.firstRow >= rowsThatFit()) {
            break;
        }
        if (pixelsPerPhase == 3) {
            paintBank<3>(bank, rowData.data());
        } else {
            paintBank<1>(bank, rowData.data());
        }
    }
    if (protocol == "ws2811") {
        CompleteFrameWS281x();
    }
}
