#pragma once
// The data phases of whole WS281x rows written with byte shuffles, where the processor has SSSE3:
// a row's eight data-phase pixels become a few wide stores that carry the static bytes between
// them as well, instead of a store per phase assembled in general registers.

#include <cstdint>

constexpr int SHUFFLED_ROW_GROUP = 4; // rows written per call

// The data-phase pixels of a run of rows, made before any of them is written: per bit (most
// significant first), per row, three data bytes in memory order and a fourth that writers ignore.
// 480 rows are 32 lines of 15 rows and 15 steps of 32 rows; writers may read a few rows past the
// last one made, which the stride leaves room for.
constexpr int STAGED_ROWS = 480;
constexpr int STAGED_STRIDE = STAGED_ROWS + 8;
using StagedPixels = uint32_t[8][STAGED_STRIDE];

// The shuffles and static bytes of one bank for one phase width (pixels per phase, 1 or 3).
struct ShuffledRowPattern {
    alignas(16) uint8_t masks[4][16];
    alignas(16) uint8_t statics[2][16];
    int pixelsPerPhase = 1;
};

// Whether WriteShuffledRows may be called: the processor has SSSE3 (and extensions are enabled).
bool ShuffledRowsAvailable();

// endLevel and startLevel: the end- and start-phase pixel values, bytes in memory order.
void PrepareShuffledRows(int pixelsPerPhase, uint32_t endLevel, uint32_t startLevel,
                         ShuffledRowPattern& pattern);

// Writes rows first to first + SHUFFLED_ROW_GROUP - 1 of the staged pixels. The first `split` rows follow
// each other from `at` (the address of the first one's first data phase), the others from `nextLine`; each
// row lies within one line and only bytes of its own phases are written. (The addresses are arguments rather
// than a table so that no store to memory comes between the page stores.)
void WriteShuffledRows(const StagedPixels& pixels, int first, uint8_t* at, uint8_t* nextLine, int split,
                       const ShuffledRowPattern& pattern);
