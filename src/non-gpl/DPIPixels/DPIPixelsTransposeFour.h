#pragma once
// The 4 x 4 transposition both fast row writers start from: four vectors of four pixels (one bit,
// four rows each) become four vectors of one row's four bits, written `stride` vectors apart.
// SSE2 only, so that it inlines into the writers whatever extension each is built for.

#if defined(__SSE2__)
#include <emmintrin.h>

[[gnu::always_inline]] inline void TransposeFourPixels(__m128i bit0, __m128i bit1, __m128i bit2, __m128i bit3,
                                                       __m128i* rows, int stride) {
    const __m128i low01 = _mm_unpacklo_epi32(bit0, bit1), low23 = _mm_unpacklo_epi32(bit2, bit3);
    const __m128i high01 = _mm_unpackhi_epi32(bit0, bit1), high23 = _mm_unpackhi_epi32(bit2, bit3);
    rows[0] = _mm_unpacklo_epi64(low01, low23);
    rows[stride] = _mm_unpackhi_epi64(low01, low23);
    rows[2 * stride] = _mm_unpacklo_epi64(high01, high23);
    rows[3 * stride] = _mm_unpackhi_epi64(high01, high23);
}
#endif
