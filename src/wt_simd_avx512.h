/* Stage 1's primitives on AVX-512BW: a whole block a compare, straight into
 * a 64-bit mask register.  Only the file built with -mavx512bw includes
 * this. */
#ifndef WT_SIMD_AVX512_H
#define WT_SIMD_AVX512_H

#include <immintrin.h>
#include <stdint.h>

#define WT_SIMD_WIDTH 64

typedef __m512i wt_simd_bytes;
typedef __mmask64 wt_simd_match;

static inline wt_simd_bytes wt_simd_load(const char *at)
{
    return _mm512_loadu_si512((const void *)at);
}

static inline wt_simd_match wt_simd_eq(wt_simd_bytes bytes, char c)
{
    return _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(c));
}

static inline wt_simd_match wt_simd_or(wt_simd_match a, wt_simd_match b)
{
    return a | b;
}

static inline wt_simd_match wt_simd_and(wt_simd_match a, wt_simd_match b)
{
    return a & b;
}

static inline uint64_t wt_simd_bits(wt_simd_match match)
{
    return match;
}

#endif
