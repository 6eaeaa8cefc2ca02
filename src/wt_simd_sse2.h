/* Stage 1's primitives on SSE2, which every x86-64 processor has: 16 bytes
 * a compare. */
#ifndef WT_SIMD_SSE2_H
#define WT_SIMD_SSE2_H

#include <emmintrin.h>
#include <stdint.h>

#define WT_SIMD_WIDTH 16

typedef __m128i wt_simd_bytes;
typedef __m128i wt_simd_match; /* 0xff where the compare held */

static inline wt_simd_bytes wt_simd_load(const char *at)
{
    return _mm_loadu_si128((const __m128i *)(const void *)at);
}

static inline wt_simd_match wt_simd_eq(wt_simd_bytes bytes, char c)
{
    return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c));
}

static inline wt_simd_match wt_simd_or(wt_simd_match a, wt_simd_match b)
{
    return _mm_or_si128(a, b);
}

static inline wt_simd_match wt_simd_and(wt_simd_match a, wt_simd_match b)
{
    return _mm_and_si128(a, b);
}

static inline uint64_t wt_simd_bits(wt_simd_match match)
{
    return (uint32_t)_mm_movemask_epi8(match);
}

#endif
