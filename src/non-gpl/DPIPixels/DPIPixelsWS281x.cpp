// WS281x over DPI. Every WS281x bit is three phases (start: high, data, end: low) of
// pixelsPerPhase pixels; a pixel's 24 bits are the 24 lines at that moment. The start phases and
// latch levels never change, so they are painted once into every page, and a frame rewrites
// only the data phases: per row of the frame (one byte of every string) eight 24-bit values.

#include "DPIPixels.h"

#include "channeloutput/PixelStringTester.h"
#include "common/Log.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int BYTES_PER_PIXEL = 3;
constexpr int32_t ALL_LINES = 0xFFFFFF;

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
// (the first one holds lines 0 to 7). Stores never run past the phase: a wider store into the
// next pixel measured slower, as it overlaps the next bit's store.
template <int PPP> inline void putPhase(uint8_t* at, uint32_t pixel) {
    const uint8_t a = uint8_t(pixel), b = uint8_t(pixel >> 8), c = uint8_t(pixel >> 16);
    if constexpr (PPP == 3 && std::endian::native == std::endian::little) {
        uint64_t three = pixel & 0xFFFFFF;
        uint64_t word = three | three << 24 | three << 48;
        std::memcpy(at, &word, sizeof(word));
        at[8] = c;
    } else {
        for (int k = 0; k < PPP; k++, at += BYTES_PER_PIXEL) {
            at[0] = a;
            at[1] = b;
            at[2] = c;
        }
    }
}

// The eight data-phase pixels of a row (most significant bit first) from its three lane words,
// in putPhase's form. With SSE2 the lane bytes' top bits are collected 16 at a time and shifted
// up; elsewhere each word is bit-transposed.
inline void dataPhasePixels(const uint64_t* lanes, uint32_t pixels[8]) {
#if defined(__SSE2__)
    if constexpr (std::endian::native == std::endian::little) {
        __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes));
        __m128i high = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(lanes + 2));
        for (int b = 0; b < 8; b++) {
            pixels[b] = uint32_t(_mm_movemask_epi8(low)) | uint32_t(_mm_movemask_epi8(high)) << 16;
            low = _mm_add_epi8(low, low);
            high = _mm_add_epi8(high, high);
        }
        return;
    }
#endif
    const uint64_t t0 = transpose8(lanes[0]);
    const uint64_t t1 = transpose8(lanes[1]);
    const uint64_t t2 = transpose8(lanes[2]);
    for (int b = 0; b < 8; b++) {
        const int shift = 8 * (7 - b);
        pixels[b] = uint32_t(uint8_t(t0 >> shift)) | uint32_t(uint8_t(t1 >> shift)) << 8 |
                    uint32_t(uint8_t(t2 >> shift)) << 16;
    }
}

struct RowWriter {
    uint8_t* out;
    int bit; // in the line
    int bitsPerLine;
    int lineSkip;
    uint32_t latch; // the latch lines' level in putPhase's form
};

// Paints the data phases of one row: lanes holds the row's bytes at their lines' places. The
// write state lives in locals while a bank is painted, since stores into the page could otherwise
// alias every field the loop reads.
template <int PPP> inline void OutputPixelRowWS281x(RowWriter& w, const uint64_t* lanes) {
    uint32_t pixels[8];
    dataPhasePixels(lanes, pixels);
    const bool wholeRowInLine = w.bit + 8 < w.bitsPerLine;
    for (int b = 0; b < 8; b++) {
        putPhase<PPP>(w.out, pixels[b] | w.latch);
        w.out += PPP * BYTES_PER_PIXEL;
        if (!wholeRowInLine && w.bit + b + 1 == w.bitsPerLine) {
            w.out += w.lineSkip;
        } else {
            w.out += PPP * BYTES_PER_PIXEL * 2;
        }
    }
    w.bit += 8;
    if (w.bit >= w.bitsPerLine) {
        w.bit -= w.bitsPerLine;
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

void DPIPixelsOutput::paintStaticBit(uint8_t* line, int bit, bool bankStart) {
    const int ppp = pixelsPerPhase;
    uint8_t* start = line + (edgePixels + bit * 3 * ppp) * BYTES_PER_PIXEL;
    int32_t high = ALL_LINES;
    if (latchMode) {
        high = (ALL_LINES & ~(LatchPinAMask | LatchPinBMask | LatchPinCMask)) | latchMask;
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
    for (const Bank& bank : banks) {
        latchMask = bank.latchMask;
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
// so a row is then three plain loads instead of a gather over 24 strings. Blocks are small enough
// to stay in the first-level cache between the copies and the painting.
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
            column[pos * 24] = from[pos];
        }
    }
}

template <int PPP> void DPIPixelsOutput::paintBank(const Bank& bank, const uint8_t* const* data) {
    constexpr int BLOCK_ROWS = 128;
    const int rows = std::min(bank.rows, rowsThatFit() - bank.firstRow);
    latchMask = bank.latchMask;
    const uint32_t latch = uint32_t(uint8_t(latchMask >> 16)) | uint32_t(uint8_t(latchMask >> 8)) << 8 |
                           uint32_t(uint8_t(latchMask)) << 16;
    RowWriter w{outPos, bitInLine, protoBitsPerLine, lineSkip, latch};
    alignas(16) uint64_t block[3 * BLOCK_ROWS];
    for (int first = 0; first < rows; first += BLOCK_ROWS) {
        const int count = std::min(BLOCK_ROWS, rows - first);
        fillRowBlock(bank, first, count, data, block);
        for (int pos = 0; pos < count; pos++) {
            OutputPixelRowWS281x<PPP>(w, block + 3 * pos);
        }
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
