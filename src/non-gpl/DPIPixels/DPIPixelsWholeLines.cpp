// A line is cut into groups of four rows from its first byte (a group of 288 bytes per pixel per
// phase, a whole number of stores), the last group holding three rows and the line's end. Which
// bytes of each store are data, and from which staged pixel, depends only on the geometry, so the
// byte shuffles are worked out at compile time; the static bytes come from the painted line.
//
// The shuffles work within 16-byte halves, and each half takes its data from one vector of four
// pixels: with three pixels per phase a half holds at most one data phase, taken from the vector
// of its bit for the group's four rows; with one pixel per phase a half holds up to two
// neighbouring data phases, taken from the vector of four consecutive pixels along the line that
// holds both (a row's first or last four bits, or the four across their boundary).

#include "DPIPixelsWholeLines.h"
#include "DPIPixelsTransposeFour.h"

#include "common/CpuFeatures.h"

#include <algorithm>
#include <cstring>

#if defined(KIV_HAVE_X86_SIMD)
#include <immintrin.h>
#endif

namespace {

constexpr int STORE_BYTES = 32;
constexpr int GROUP_ROWS = 4;
constexpr int LINE_BITS = 8 * WHOLE_LINE_ROWS;
constexpr int NO_SOURCE = -1;
constexpr uint8_t ZERO = 0x80; // a shuffle index that gives a zero byte

template <int PPP> struct Layout {
    static constexpr int BIT_BYTES = 9 * PPP;
    static constexpr int DATA_BYTES = 3 * PPP;
    static constexpr int FIRST_DATA = 3 * (PPP + 1); // where a frame's first data phase starts
    static constexpr int GROUP_BYTES = GROUP_ROWS * 8 * BIT_BYTES;
    static constexpr int GROUP_STORES = GROUP_BYTES / STORE_BYTES;
    static constexpr int LAST_DATA_BYTE = FIRST_DATA + (LINE_BITS - 1) * BIT_BYTES + DATA_BYTES - 1;
    static constexpr int LINE_STORES = LAST_DATA_BYTE / STORE_BYTES + 1;
    static_assert(GROUP_BYTES % STORE_BYTES == 0, "stores never span two groups");
};

struct DataByte {
    int row = -1; // of the line; -1: not a data byte
    int bit = 0;
    int byte = 0; // of the pixel
};

template <int PPP> constexpr DataByte dataAt(int x) {
    using L = Layout<PPP>;
    const int t = x - L::FIRST_DATA;
    if (t < 0 || t / L::BIT_BYTES >= LINE_BITS || t % L::BIT_BYTES >= L::DATA_BYTES) {
        return {};
    }
    return {t / L::BIT_BYTES / 8, t / L::BIT_BYTES % 8, t % L::BIT_BYTES % 3};
}

// Per store: the source vector of each half and the shuffle that spreads its pixels. Sources 0 to
// 7 are the group's vectors as loaded (per bit with three pixels per phase, per four pixels
// along the line with one); with one pixel per phase, 8 + q is the four pixels from 4q + 3 on.
template <int PPP> struct LineTable {
    int source[Layout<PPP>::LINE_STORES][2] = {};
    uint8_t masks[Layout<PPP>::LINE_STORES][STORE_BYTES] = {};
    bool valid = true;
};

template <int PPP> constexpr void planHalf(LineTable<PPP>& table, int store, int half) {
    using L = Layout<PPP>;
    const int group = std::min(store / L::GROUP_STORES, WHOLE_LINE_ROWS / GROUP_ROWS);
    const int first = STORE_BYTES * store + 16 * half;
    int lowest = 99, highest = -1; // pixels of the group, numbered along the line
    for (int i = 0; i < 16; i++) {
        const DataByte d = dataAt<PPP>(first + i);
        if (d.row >= 0) {
            const int p = 8 * (d.row - GROUP_ROWS * group) + d.bit;
            lowest = std::min(lowest, p);
            highest = std::max(highest, p);
        }
    }
    int source = NO_SOURCE, base = 0;
    if (highest >= 0 && PPP == 3) {
        source = lowest % 8;
        table.valid = table.valid && lowest == highest;
    } else if (highest >= 0) {
        const int q = lowest / 4;
        source = highest / 4 == q ? q : 8 + q;
        base = highest / 4 == q ? 4 * q : 4 * q + 3;
        table.valid = table.valid && highest - base < 4;
    }
    table.source[store][half] = source;
    for (int i = 0; i < 16; i++) {
        const DataByte d = dataAt<PPP>(first + i);
        const int j = d.row - GROUP_ROWS * group;
        const int slot = PPP == 3 ? j : 8 * j + d.bit - base;
        table.masks[store][16 * half + i] = d.row >= 0 ? uint8_t(4 * slot + d.byte) : ZERO;
    }
}

template <int PPP> constexpr LineTable<PPP> planLine() {
    LineTable<PPP> table;
    for (int store = 0; store < Layout<PPP>::LINE_STORES; store++) {
        planHalf(table, store, 0);
        planHalf(table, store, 1);
    }
    return table;
}

template <int PPP> constexpr LineTable<PPP> LINE_TABLE = planLine<PPP>();
static_assert(LINE_TABLE<1>.valid && LINE_TABLE<3>.valid, "every half takes its data from one vector");

#if defined(KIV_HAVE_X86_SIMD)
#define KIV_AVX2 __attribute__((target("avx2"), always_inline)) inline

KIV_AVX2 __m128i loadRows(const StagedPixels& pixels, int bit, int row) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(&pixels[bit][row]));
}

// The group's eight vectors from its first row on: per bit its four rows, or (one pixel per phase)
// the line's pixels four at a time, each row's first four bits and then its last four. Written
// out in full, so that the vectors stay in registers: a spill would be a store among the page's.
template <int PPP> KIV_AVX2 void loadGroup(const StagedPixels& pixels, int row, __m128i* v) {
    if constexpr (PPP == 3) {
        v[0] = loadRows(pixels, 0, row), v[1] = loadRows(pixels, 1, row);
        v[2] = loadRows(pixels, 2, row), v[3] = loadRows(pixels, 3, row);
        v[4] = loadRows(pixels, 4, row), v[5] = loadRows(pixels, 5, row);
        v[6] = loadRows(pixels, 6, row), v[7] = loadRows(pixels, 7, row);
    } else {
        TransposeFourPixels(loadRows(pixels, 0, row), loadRows(pixels, 1, row), loadRows(pixels, 2, row),
                            loadRows(pixels, 3, row), v, 2);
        TransposeFourPixels(loadRows(pixels, 4, row), loadRows(pixels, 5, row), loadRows(pixels, 6, row),
                            loadRows(pixels, 7, row), v + 1, 2);
    }
}

template <int PPP, int SOURCE> KIV_AVX2 __m128i sourceVector(const __m128i* v) {
    if constexpr (SOURCE == NO_SOURCE) {
        return v[0]; // its bytes are not picked
    } else if constexpr (SOURCE < 8) {
        return v[SOURCE];
    } else {
        return _mm_alignr_epi8(v[SOURCE - 7], v[SOURCE - 8], 12);
    }
}

template <int PPP, int STORE>
KIV_AVX2 void writeStore(const __m128i* v, uint8_t* line, const uint8_t* statics) {
    constexpr const LineTable<PPP>& table = LINE_TABLE<PPP>;
    const __m256i fixed = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(statics + STORE_BYTES * STORE));
    __m256i value = fixed;
    if constexpr (table.source[STORE][0] != NO_SOURCE || table.source[STORE][1] != NO_SOURCE) {
        const __m256i pixels = _mm256_set_m128i(sourceVector<PPP, table.source[STORE][1]>(v),
                                                sourceVector<PPP, table.source[STORE][0]>(v));
        const __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table.masks[STORE]));
        value = _mm256_or_si256(_mm256_shuffle_epi8(pixels, mask), fixed);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(line + STORE_BYTES * STORE), value);
}

// Stores STORE onwards; a group's vectors are loaded at its first store.
template <int PPP, int STORE>
KIV_AVX2 void writeStores(const StagedPixels& pixels, int first, __m128i* v, uint8_t* line,
                          const uint8_t* statics) {
    using L = Layout<PPP>;
    if constexpr (STORE < L::LINE_STORES) {
        if constexpr (STORE % L::GROUP_STORES == 0) {
            loadGroup<PPP>(pixels, first + GROUP_ROWS * (STORE / L::GROUP_STORES), v);
        }
        writeStore<PPP, STORE>(v, line, statics);
        writeStores<PPP, STORE + 1>(pixels, first, v, line, statics);
    }
}

template <int PPP>
__attribute__((target("avx2"))) void writeLine(const StagedPixels& pixels, int first, uint8_t* line,
                                               const uint8_t* statics) {
    __m128i v[8];
    writeStores<PPP, 0>(pixels, first, v, line, statics);
}
#endif

template <int PPP> int lineBytes() {
    return STORE_BYTES * Layout<PPP>::LINE_STORES;
}

template <int PPP> void prepare(const uint8_t* painted, WholeLinePattern& pattern) {
    constexpr const LineTable<PPP>& table = LINE_TABLE<PPP>;
    pattern.statics.assign(painted, painted + lineBytes<PPP>());
    for (int store = 0; store < Layout<PPP>::LINE_STORES; store++) {
        for (int i = 0; i < STORE_BYTES; i++) {
            if (table.masks[store][i] != ZERO) {
                pattern.statics[STORE_BYTES * store + i] = 0;
            }
        }
    }
    pattern.pixelsPerPhase = PPP;
}

} // namespace

bool WholeLinesAvailable() {
    return CpuHasAVX2();
}

void PrepareWholeLines(int pixelsPerPhase, int bitsPerLine, const uint8_t* painted, int lineLength,
                       WholeLinePattern& pattern) {
    pattern = WholeLinePattern();
    if (bitsPerLine != LINE_BITS) {
        return;
    }
    if (pixelsPerPhase == 1 && lineLength >= lineBytes<1>()) {
        prepare<1>(painted, pattern);
    } else if (pixelsPerPhase == 3 && lineLength >= lineBytes<3>()) {
        prepare<3>(painted, pattern);
    }
}

void WriteWholeLine(const StagedPixels& pixels, int first, uint8_t* line, const WholeLinePattern& pattern) {
#if defined(KIV_HAVE_X86_SIMD)
    if (pattern.pixelsPerPhase == 1) {
        writeLine<1>(pixels, first, line, pattern.statics.data());
    } else if (pattern.pixelsPerPhase == 3) {
        writeLine<3>(pixels, first, line, pattern.statics.data());
    }
#else
    (void)pixels, (void)first, (void)line, (void)pattern;
#endif
}
