// A WS281x bit is start, data and end phase of pixelsPerPhase pixels each. With one pixel per
// phase a row is 72 bytes, four 16-byte stores at fixed offsets from its first data phase covering
// two data phases each (the last one ends with the row's last data phase: the end phase after it,
// before a bank's first row, holds that bank's latch as painted); with
// three, each bit of a row is one 16-byte store: the data phase's nine bytes, seven of the end phase.

#include "DPIPixelsShuffledRows.h"
#include "DPIPixelsTransposeFour.h"

#include "common/CpuFeatures.h"

#if defined(KIV_HAVE_X86_SIMD)
#include <tmmintrin.h>
#endif

namespace {

constexpr uint8_t ZERO = 0x80; // a shuffle index that gives a zero byte
constexpr int SINGLE_PHASE_OFFSETS[4] = {0, 18, 36, 50};

uint8_t byteOf(uint32_t value, int k) {
    return uint8_t(value >> (8 * k));
}

// Byte i of a 16-byte store at `offset` from the row's first data phase lies in the nine bytes of
// bit (offset + i) / 9; a data byte comes from that bit's pixel in the store's source vector,
// which holds bits 0 to 3 for the first two stores and 4 to 7 for the others.
void prepareSinglePixelPhases(uint32_t endLevel, uint32_t startLevel, ShuffledRowPattern& pattern) {
    for (int store = 0; store < 4; store++) {
        const int offset = SINGLE_PHASE_OFFSETS[store];
        const int sourceFirstBit = store < 2 ? 0 : 4;
        for (int i = 0; i < 16; i++) {
            const int phaseByte = (offset + i) % 9;
            const int bit = (offset + i) / 9 - sourceFirstBit;
            pattern.masks[store][i] = phaseByte < 3 ? uint8_t(4 * bit + phaseByte) : ZERO;
        }
    }
    for (int s = 0; s < 2; s++) {
        const int offset = s == 0 ? 0 : SINGLE_PHASE_OFFSETS[3];
        for (int i = 0; i < 16; i++) {
            const int phaseByte = (offset + i) % 9;
            pattern.statics[s][i] = phaseByte < 3   ? 0
                                    : phaseByte < 6 ? byteOf(endLevel, phaseByte - 3)
                                                    : byteOf(startLevel, phaseByte - 6);
        }
    }
}

// Mask k repeats the pixel of row k of a vector of four rows three times.
void prepareTriplePixelPhases(uint32_t endLevel, ShuffledRowPattern& pattern) {
    for (int row = 0; row < 4; row++) {
        for (int i = 0; i < 16; i++) {
            pattern.masks[row][i] = i < 9 ? uint8_t(4 * row + i % 3) : ZERO;
        }
    }
    for (int i = 0; i < 16; i++) {
        pattern.statics[0][i] = i < 9 ? 0 : byteOf(endLevel, (i - 9) % 3);
        pattern.statics[1][i] = 0;
    }
}

#if defined(KIV_HAVE_X86_SIMD)
using Vector = __m128i;
constexpr int BYTES_PER_PIXEL = 3;

// The first data phase of row r of a group (rows of 8 bits of 3 phases of ppp pixels).
inline uint8_t* rowStart(int r, int ppp, uint8_t* at, uint8_t* nextLine, int split) {
    const int rowBytes = 8 * 3 * ppp * BYTES_PER_PIXEL;
    return r < split ? at + r * rowBytes : nextLine + (r - split) * rowBytes;
}

__attribute__((target("ssse3"))) inline Vector load(const uint8_t* at) {
    return _mm_load_si128(reinterpret_cast<const Vector*>(at));
}

__attribute__((target("ssse3"))) inline void put(uint8_t* at, Vector value, Vector mask, Vector fixed) {
    _mm_storeu_si128(reinterpret_cast<Vector*>(at), _mm_or_si128(_mm_shuffle_epi8(value, mask), fixed));
}

// Four bits' vectors of four rows each become four rows' vectors of four bits each.
__attribute__((target("ssse3"))) inline void transposeToRows(const StagedPixels& pixels, int firstBit,
                                                             int first, Vector* rows) {
    auto bit = [&](int b) {
        return _mm_loadu_si128(reinterpret_cast<const Vector*>(&pixels[firstBit + b][first]));
    };
    TransposeFourPixels(bit(0), bit(1), bit(2), bit(3), rows, 1);
}

// One pixel per phase: each of a row's four stores takes two data phases from one of its row vectors.
__attribute__((target("ssse3"))) void writeSinglePixelRows(const StagedPixels& pixels, int first, uint8_t* at,
                                                           uint8_t* nextLine, int split,
                                                           const ShuffledRowPattern& pattern) {
    Vector early[4], late[4]; // per row: bits 0 to 3, bits 4 to 7
    transposeToRows(pixels, 0, first, early);
    transposeToRows(pixels, 4, first, late);
    const Vector m0 = load(pattern.masks[0]), m1 = load(pattern.masks[1]);
    const Vector m2 = load(pattern.masks[2]), m3 = load(pattern.masks[3]);
    const Vector s0 = load(pattern.statics[0]), s1 = load(pattern.statics[1]);
    // Unrolled so that the row vectors stay in registers: a reload from the stack could be held up
    // behind the page stores before it, which rarely find their lines in cache.
#pragma GCC unroll 4
    for (int r = 0; r < SHUFFLED_ROW_GROUP; r++) {
        uint8_t* const row = rowStart(r, 1, at, nextLine, split);
        put(row + SINGLE_PHASE_OFFSETS[0], early[r], m0, s0);
        put(row + SINGLE_PHASE_OFFSETS[1], early[r], m1, s0);
        put(row + SINGLE_PHASE_OFFSETS[2], late[r], m2, s0);
        put(row + SINGLE_PHASE_OFFSETS[3], late[r], m3, s1);
    }
}

// Three pixels per phase: a store per bit and row, its pixel picked from the bit's vector of rows.
// The stores go in address order, which the page (rarely in cache) takes best.
__attribute__((target("ssse3"))) void writeTriplePixelRows(const StagedPixels& pixels, int first, uint8_t* at,
                                                           uint8_t* nextLine, int split,
                                                           const ShuffledRowPattern& pattern) {
    constexpr int BIT_STEP = 9 * BYTES_PER_PIXEL;
    Vector bits[8];
#pragma GCC unroll 8
    for (int bit = 0; bit < 8; bit++) {
        bits[bit] = _mm_loadu_si128(reinterpret_cast<const Vector*>(&pixels[bit][first]));
    }
    const Vector s0 = load(pattern.statics[0]);
    // Unrolled as for single pixels, so that the bit vectors stay in registers.
#pragma GCC unroll 4
    for (int r = 0; r < SHUFFLED_ROW_GROUP; r++) {
        const Vector mask = load(pattern.masks[r]);
        uint8_t* const row = rowStart(r, 3, at, nextLine, split);
#pragma GCC unroll 8
        for (int bit = 0; bit < 8; bit++) {
            put(row + bit * BIT_STEP, bits[bit], mask, s0);
        }
    }
}

#endif

} // namespace

bool ShuffledRowsAvailable() {
    return CpuHasSSSE3();
}

void PrepareShuffledRows(int pixelsPerPhase, uint32_t endLevel, uint32_t startLevel,
                         ShuffledRowPattern& pattern) {
    pattern.pixelsPerPhase = pixelsPerPhase;
    if (pixelsPerPhase == 1) {
        prepareSinglePixelPhases(endLevel, startLevel, pattern);
    } else {
        prepareTriplePixelPhases(endLevel, pattern);
    }
}

void WriteShuffledRows(const StagedPixels& pixels, int first, uint8_t* at, uint8_t* nextLine, int split,
                       const ShuffledRowPattern& pattern) {
#if defined(KIV_HAVE_X86_SIMD)
    if (pattern.pixelsPerPhase == 1) {
        writeSinglePixelRows(pixels, first, at, nextLine, split, pattern);
    } else {
        writeTriplePixelRows(pixels, first, at, nextLine, split, pattern);
    }
#else
    (void)pixels, (void)first, (void)at, (void)nextLine, (void)split, (void)pattern;
#endif
}
