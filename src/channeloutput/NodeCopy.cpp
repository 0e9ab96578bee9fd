// With SSSE3 (checked once at run time, so the build stays portable) a byte shuffle reorders a
// vector of whole nodes at once; elsewhere, or for the last few nodes, a node is copied at a time.

#include "NodeCopy.h"

#include "common/CpuFeatures.h"

#include <cstring>

#if defined(KIV_HAVE_X86_SIMD)
#include <tmmintrin.h>
#endif

namespace {

bool isIdentity(int perNode, const uint8_t* order) {
    for (int k = 0; k < perNode; k++) {
        if (order[k] != k) {
            return false;
        }
    }
    return true;
}

void copyNodesOneByOne(const uint8_t* from, uint8_t* to, int nodes, int perNode, const uint8_t* order) {
    for (int n = 0; n < nodes; n++, from += perNode, to += perNode) {
        for (int k = 0; k < perNode; k++) {
            to[k] = from[order[k]];
        }
    }
}

#if defined(KIV_HAVE_X86_SIMD)
// Copies the nodes that fit in whole 16-byte loads and stores inside both spans and returns how
// many; each step moves the nodes that fit in 16 bytes (four of three channels, for example).
__attribute__((target("ssse3"))) int copyNodesShuffled(const uint8_t* from, uint8_t* to, int nodes,
                                                       int perNode, const uint8_t* order) {
    const int perStep = 16 / perNode;
    alignas(16) uint8_t lanes[16];
    std::memset(lanes, 0x80, sizeof(lanes)); // zero bytes after the last whole node
    for (int node = 0; node < perStep; node++) {
        for (int k = 0; k < perNode; k++) {
            lanes[node * perNode + k] = uint8_t(node * perNode + order[k]);
        }
    }
    const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
    const int stepBytes = perStep * perNode;
    const int bytes = nodes * perNode;
    int at = 0;
#pragma GCC unroll 4
    for (; at + 16 <= bytes; at += stepBytes) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), _mm_shuffle_epi8(v, shuffle));
    }
    return at / perNode;
}
#endif

} // namespace

void CopyNodes(const uint8_t* from, uint8_t* to, int nodes, int perNode, const uint8_t* order) {
    if (nodes <= 0 || perNode <= 0 || perNode > NODE_COPY_MAX_CHANNELS) {
        return;
    }
    if (isIdentity(perNode, order)) {
        std::memcpy(to, from, size_t(nodes) * perNode);
        return;
    }
    int done = 0;
#if defined(KIV_HAVE_X86_SIMD)
    if (CpuHasSSSE3()) {
        done = copyNodesShuffled(from, to, nodes, perNode, order);
    }
#endif
    copyNodesOneByOne(from + done * perNode, to + done * perNode, nodes - done, perNode, order);
}
