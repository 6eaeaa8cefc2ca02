/* Stage 1's primitives for any target: one byte a "vector", so the generic
 * classifier written over them is the byte-at-a-time model the others must
 * match. */
#ifndef WT_SIMD_SCALAR_H
#define WT_SIMD_SCALAR_H

#include <stdint.h>

#define WT_SIMD_WIDTH 1

typedef unsigned char wt_simd_bytes;
typedef uint64_t wt_simd_match; /* 0 or 1 */

static inline wt_simd_bytes wt_simd_load(const char *at)
{
    return (unsigned char)*at;
}

static inline wt_simd_match wt_simd_eq(wt_simd_bytes bytes, char c)
{
    return bytes == (unsigned char)c;
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
