/* Stage 1's primitives on WebAssembly SIMD128 (built with -msimd128): the
 * SSE2 shape. */
#ifndef WT_SIMD_SIMD128_H
#define WT_SIMD_SIMD128_H

#include <stdint.h>
#include <wasm_simd128.h>

#define WT_SIMD_WIDTH 16

typedef v128_t wt_simd_bytes;
typedef v128_t wt_simd_match; /* 0xff where the compare held */

static inline wt_simd_bytes wt_simd_load(const char *at)
{
    return wasm_v128_load(at);
}

static inline wt_simd_match wt_simd_eq(wt_simd_bytes bytes, char c)
{
    return wasm_i8x16_eq(bytes, wasm_i8x16_splat(c));
}

static inline wt_simd_match wt_simd_or(wt_simd_match a, wt_simd_match b)
{
    return wasm_v128_or(a, b);
}

static inline wt_simd_match wt_simd_and(wt_simd_match a, wt_simd_match b)
{
    return wasm_v128_and(a, b);
}

static inline uint64_t wt_simd_bits(wt_simd_match match)
{
    return (uint32_t)wasm_i8x16_bitmask(match);
}

#endif
