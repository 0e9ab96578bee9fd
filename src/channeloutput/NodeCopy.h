#pragma once
// Copies whole pixel nodes from consecutive channels, reordering the channels of each node: the
// fast path of a pixel string whose nodes need no brightness table and no map lookups.

#include <cstdint>

// Up to this many channels per node.
constexpr int NODE_COPY_MAX_CHANNELS = 4;

// Writes `nodes` nodes of perNode channels (1 to NODE_COPY_MAX_CHANNELS) to `to`: channel k of an
// output node is channel order[k] of the same node in `from`. Reads exactly nodes * perNode bytes
// of `from` and writes exactly as many to `to`; the two must not overlap.
void CopyNodes(const uint8_t* from, uint8_t* to, int nodes, int perNode, const uint8_t* order);
