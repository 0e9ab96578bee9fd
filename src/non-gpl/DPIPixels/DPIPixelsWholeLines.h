#pragma once
// Whole lines of WS281x rows written with AVX2 as 32-byte stores from the line's first byte on:
// each store carries the line's static bytes (edges, start phases, latch levels and padding, as
// the static pattern painted them) together with the data phases in it. The page is rarely in
// cache, and stores that each fill half a cache line, never crossing one, drain much faster than a
// store per phase (or pair of phases) at odd offsets.

#include "DPIPixelsShuffledRows.h"

#include <cstdint>
#include <vector>

constexpr int WHOLE_LINE_ROWS = 15; // 120 bits

struct WholeLinePattern {
    int pixelsPerPhase = 0;       // 0: lines of this geometry are not written whole
    std::vector<uint8_t> statics; // the line as painted, zero where data bytes go
};

// Whether WriteWholeLine may be called: the processor has AVX2 (and extensions are enabled).
bool WholeLinesAvailable();

// painted: a line of lineLength bytes as the static pattern paints a line whose rows all belong to
// one bank. The pattern stays unusable for lines that are not 120 bits of 1 or 3 pixels per
// phase, or are shorter than the stores reach.
void PrepareWholeLines(int pixelsPerPhase, int bitsPerLine, const uint8_t* painted, int lineLength,
                       WholeLinePattern& pattern);

// Writes staged rows first to first + 14 as the line that starts at `line` (its first byte). The
// staging is read up to row first + 15.
void WriteWholeLine(const StagedPixels& pixels, int first, uint8_t* line, const WholeLinePattern& pattern);
