/* Stage 1's primitives on AVX2: 32 bytes a compare.  Only the file built
 * with -mavx2 includes this. */
#ifndef WT_SIMD_AVX2_H
#define WT_SIMD_AVX2_H

#include <immintrin.h>
#include <stdint.h>

#define WT_SIMD_WIDTH 32

typedef __m256i wt_simd_bytes;
typedef __m256i wt_simd_match; /* 0xff where the compare held */

static inline wt_simd_bytes wt_simd_load(const char *at)
{
    return _mm256_loadu_si256((const __m256i *)(const void *)at);
}

static inline wt_simd_match wt_simd_eq(wt_simd_bytes bytes, char c)
{
    return _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(c));
}

static inline wt_simd_match wt_simd_or(wt_simd_match a, wt_simd_match b)
{
    return _mm256_or_si256(a, b);
}

static inline wt_simd_match wt_simd_and(wt_simd_match a, wt_simd_match b)
{
    return _mm256_and_si256(a, b);
}

static inline uint64_t wt_simd_bits(wt_simd_match match)
{
    return (uint32_t)_mm256_movemask_epi8(match);
}

#endif
