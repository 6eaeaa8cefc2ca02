/* The first stage of the converter: one bit for each byte of a 64-byte block
 * that steers the markup.  The walk over lines and cells then takes its
 * decisions from these masks with shifts and bit counts instead of testing
 * bytes one by one, which is where a byte loop spends its time: in branches
 * that the processor cannot predict.
 *
 * One function a code path, all with the same result; which one runs is
 * chosen at the first conversion from what the processor reports (see
 * wttable_parser.cpp).  Each classifies `count` blocks from `text` and
 * stores word k of each mask at index k of its row.  They read the byte
 * behind the last block too (the second byte of a pair): the caller makes
 * sure that it belongs to the text, its NUL at most. */
#ifndef WT_CLASSIFY_H
#define WT_CLASSIFY_H

#include <stddef.h>
#include <stdint.h>

#include "wt_markup_rules.h"

/* WTTABLE_NO_SIMD (the CMake option of that name) leaves every intrinsic
 * out, so the scalar code is built and tested like the others. */
#if defined(__x86_64__) && !defined(WTTABLE_NO_SIMD)
#include <immintrin.h>
#define WT_CLASSIFY_X86 1
#elif defined(WT_CLASSIFY_SIMD128) && !defined(WTTABLE_NO_SIMD)
#include <wasm_simd128.h>
#define WT_CLASSIFY_SIMD128 1
#endif

/* Bit i of a word stands for byte i of its block. */
struct wt_mask_rows {
    uint64_t *line_feed;
    uint64_t *bar;   /* "|" */
    uint64_t *space; /* TAB, LF, CR and SPACE: the markup's whitespace */
    uint64_t *guard; /* the first byte of each "[[" and "-{" */
    uint64_t *bang;  /* "!" */
};

typedef void (*wt_classify_fn)(const char *text, size_t count, const wt_mask_rows *rows);

/* A byte at a time, for any target: the model the others must match. */
static inline void wt_classify_plain(const char *text, size_t count, const wt_mask_rows *rows)
{
    for (size_t k = 0; k < count; k++) {
        const unsigned char *block = (const unsigned char *)text + 64 * k;
        uint64_t line_feed = 0, bar = 0, space = 0, guard = 0, bang = 0;
        for (unsigned i = 0; i < 64; i++) {
            unsigned c = block[i], next = block[i + 1];
            uint64_t bit = (uint64_t)1 << i;
            line_feed |= c == '\n' ? bit : 0;
            bar |= c == '|' ? bit : 0;
            bang |= c == '!' ? bit : 0;
            space |= wt_is_space((unsigned char)c) ? bit : 0;
            guard |= wt_is_guard_pair((char)c, (char)next) ? bit : 0;
        }
        rows->line_feed[k] = line_feed;
        rows->bar[k] = bar;
        rows->space[k] = space;
        rows->guard[k] = guard;
        rows->bang[k] = bang;
    }
}

#if defined(WT_CLASSIFY_X86)

/* SSE2 is part of x86-64 itself: 16 bytes a compare.  Compares are OR-ed
 * before the one movemask each mask needs; the pair test compares a load
 * one byte further on. */
static inline uint64_t wt_sse2_movemask(__m128i bytes, unsigned quarter)
{
    return (uint64_t)(uint32_t)_mm_movemask_epi8(bytes) << (16 * quarter);
}

static inline void wt_classify_sse2(const char *text, size_t count, const wt_mask_rows *rows)
{
    for (size_t k = 0; k < count; k++) {
        uint64_t line_feed = 0, bar = 0, space = 0, guard = 0, bang = 0;
        for (unsigned q = 0; q < 4; q++) {
            const char *at = text + 64 * k + 16 * q;
            __m128i b = _mm_loadu_si128((const __m128i *)(const void *)at);
            __m128i next = _mm_loadu_si128((const __m128i *)(const void *)(at + 1));
            __m128i lf = _mm_cmpeq_epi8(b, _mm_set1_epi8('\n'));
            __m128i blank = _mm_or_si128(_mm_or_si128(lf, _mm_cmpeq_epi8(b, _mm_set1_epi8(' '))),
                                         _mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8('\t')),
                                                      _mm_cmpeq_epi8(b, _mm_set1_epi8('\r'))));
            __m128i pairs = _mm_or_si128(
                _mm_and_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(WT_GUARD_LINK_FIRST)),
                              _mm_cmpeq_epi8(next, _mm_set1_epi8(WT_GUARD_LINK_SECOND))),
                _mm_and_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(WT_GUARD_VARIANT_FIRST)),
                              _mm_cmpeq_epi8(next, _mm_set1_epi8(WT_GUARD_VARIANT_SECOND))));
            line_feed |= wt_sse2_movemask(lf, q);
            bar |= wt_sse2_movemask(_mm_cmpeq_epi8(b, _mm_set1_epi8('|')), q);
            bang |= wt_sse2_movemask(_mm_cmpeq_epi8(b, _mm_set1_epi8('!')), q);
            space |= wt_sse2_movemask(blank, q);
            guard |= wt_sse2_movemask(pairs, q);
        }
        rows->line_feed[k] = line_feed;
        rows->bar[k] = bar;
        rows->space[k] = space;
        rows->guard[k] = guard;
        rows->bang[k] = bang;
    }
}

/* The same on two 32-byte halves. */
__attribute__((target("avx2"))) static inline uint64_t wt_avx2_movemask(__m256i low, __m256i high)
{
    return (uint64_t)(uint32_t)_mm256_movemask_epi8(high) << 32 |
           (uint32_t)_mm256_movemask_epi8(low);
}

__attribute__((target("avx2"))) static inline void wt_avx2_half(const char *at, __m256i *lf,
                                                              __m256i *bar, __m256i *blank,
                                                              __m256i *pairs, __m256i *bang)
{
    __m256i b = _mm256_loadu_si256((const __m256i *)(const void *)at);
    __m256i next = _mm256_loadu_si256((const __m256i *)(const void *)(at + 1));
    *lf = _mm256_cmpeq_epi8(b, _mm256_set1_epi8('\n'));
    *bar = _mm256_cmpeq_epi8(b, _mm256_set1_epi8('|'));
    *bang = _mm256_cmpeq_epi8(b, _mm256_set1_epi8('!'));
    *blank = _mm256_or_si256(_mm256_or_si256(*lf, _mm256_cmpeq_epi8(b, _mm256_set1_epi8(' '))),
                             _mm256_or_si256(_mm256_cmpeq_epi8(b, _mm256_set1_epi8('\t')),
                                             _mm256_cmpeq_epi8(b, _mm256_set1_epi8('\r'))));
    *pairs = _mm256_or_si256(_mm256_and_si256(_mm256_cmpeq_epi8(b, _mm256_set1_epi8(WT_GUARD_LINK_FIRST)),
                                              _mm256_cmpeq_epi8(next, _mm256_set1_epi8(WT_GUARD_LINK_SECOND))),
                             _mm256_and_si256(_mm256_cmpeq_epi8(b, _mm256_set1_epi8(WT_GUARD_VARIANT_FIRST)),
                                              _mm256_cmpeq_epi8(next, _mm256_set1_epi8(WT_GUARD_VARIANT_SECOND))));
}

__attribute__((target("avx2"))) static void wt_classify_avx2(const char *text, size_t count,
                                                             const wt_mask_rows *rows)
{
    for (size_t k = 0; k < count; k++) {
        __m256i lf[2], bar[2], blank[2], pairs[2], bang[2];
        wt_avx2_half(text + 64 * k, &lf[0], &bar[0], &blank[0], &pairs[0], &bang[0]);
        wt_avx2_half(text + 64 * k + 32, &lf[1], &bar[1], &blank[1], &pairs[1], &bang[1]);
        rows->line_feed[k] = wt_avx2_movemask(lf[0], lf[1]);
        rows->bar[k] = wt_avx2_movemask(bar[0], bar[1]);
        rows->space[k] = wt_avx2_movemask(blank[0], blank[1]);
        rows->guard[k] = wt_avx2_movemask(pairs[0], pairs[1]);
        rows->bang[k] = wt_avx2_movemask(bang[0], bang[1]);
    }
}

/* AVX-512BW compares a whole block straight into 64-bit mask registers. */
__attribute__((target("avx512f,avx512bw"))) static void
wt_classify_avx512(const char *text, size_t count, const wt_mask_rows *rows)
{
    for (size_t k = 0; k < count; k++) {
        __m512i b = _mm512_loadu_si512((const void *)(text + 64 * k));
        __m512i next = _mm512_loadu_si512((const void *)(text + 64 * k + 1));
        uint64_t lf = _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8('\n'));
        rows->line_feed[k] = lf;
        rows->bar[k] = _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8('|'));
        rows->bang[k] = _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8('!'));
        rows->space[k] = lf | _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8(' ')) |
                         _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8('\t')) |
                         _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8('\r'));
        rows->guard[k] = (_mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8(WT_GUARD_LINK_FIRST)) &
                          _mm512_cmpeq_epi8_mask(next, _mm512_set1_epi8(WT_GUARD_LINK_SECOND))) |
                         (_mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8(WT_GUARD_VARIANT_FIRST)) &
                          _mm512_cmpeq_epi8_mask(next, _mm512_set1_epi8(WT_GUARD_VARIANT_SECOND)));
    }
}

#elif defined(WT_CLASSIFY_SIMD128)

/* WebAssembly SIMD128: the SSE2 shape. */
static inline uint64_t wt_simd128_bitmask(v128_t bytes, unsigned quarter)
{
    return (uint64_t)wasm_i8x16_bitmask(bytes) << (16 * quarter);
}

static void wt_classify_simd128(const char *text, size_t count, const wt_mask_rows *rows)
{
    for (size_t k = 0; k < count; k++) {
        uint64_t line_feed = 0, bar = 0, space = 0, guard = 0, bang = 0;
        for (unsigned q = 0; q < 4; q++) {
            const char *at = text + 64 * k + 16 * q;
            v128_t b = wasm_v128_load(at);
            v128_t next = wasm_v128_load(at + 1);
            v128_t lf = wasm_i8x16_eq(b, wasm_i8x16_splat('\n'));
            v128_t blank = wasm_v128_or(wasm_v128_or(lf, wasm_i8x16_eq(b, wasm_i8x16_splat(' '))),
                                        wasm_v128_or(wasm_i8x16_eq(b, wasm_i8x16_splat('\t')),
                                                     wasm_i8x16_eq(b, wasm_i8x16_splat('\r'))));
            v128_t pairs = wasm_v128_or(
                wasm_v128_and(wasm_i8x16_eq(b, wasm_i8x16_splat(WT_GUARD_LINK_FIRST)),
                              wasm_i8x16_eq(next, wasm_i8x16_splat(WT_GUARD_LINK_SECOND))),
                wasm_v128_and(wasm_i8x16_eq(b, wasm_i8x16_splat(WT_GUARD_VARIANT_FIRST)),
                              wasm_i8x16_eq(next, wasm_i8x16_splat(WT_GUARD_VARIANT_SECOND))));
            line_feed |= wt_simd128_bitmask(lf, q);
            bar |= wt_simd128_bitmask(wasm_i8x16_eq(b, wasm_i8x16_splat('|')), q);
            bang |= wt_simd128_bitmask(wasm_i8x16_eq(b, wasm_i8x16_splat('!')), q);
            space |= wt_simd128_bitmask(blank, q);
            guard |= wt_simd128_bitmask(pairs, q);
        }
        rows->line_feed[k] = line_feed;
        rows->bar[k] = bar;
        rows->space[k] = space;
        rows->guard[k] = guard;
        rows->bang[k] = bang;
    }
}

#endif

#endif
