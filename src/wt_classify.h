/* The first stage of the converter: one bit for each byte of a 64-byte block
 * that steers the markup.  The walk over lines and cells then takes its
 * decisions from these masks with shifts and bit counts instead of testing
 * bytes one by one, which is where a byte loop spends its time: in branches
 * that the processor cannot predict.
 *
 * One function a code path, all with the same result.  Which one runs is
 * chosen at the first conversion from what the processor reports (see
 * wttable_parser.cpp); nothing here runs at load. */
#ifndef WT_CLASSIFY_H
#define WT_CLASSIFY_H

#include <stdint.h>
#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#define WT_CLASSIFY_X86 1
#elif defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

/* Bit i of each mask stands for byte i of the block. */
struct wt_block_class {
    uint64_t line_feed;
    uint64_t bar;     /* "|" */
    uint64_t space;   /* TAB, LF, CR and SPACE: the markup's whitespace */
    uint64_t bracket; /* "[" */
    uint64_t dash;    /* "-" */
    uint64_t brace;   /* "{" */
};

typedef void (*wt_classify_fn)(const char *block, wt_block_class *out);

/* Byte classes for the plain path, as bits: what each mask wants. */
enum {
    WT_CLASS_LINE_FEED = 1,
    WT_CLASS_BAR = 2,
    WT_CLASS_SPACE = 4,
    WT_CLASS_BRACKET = 8,
    WT_CLASS_DASH = 16,
    WT_CLASS_BRACE = 32
};

static inline unsigned wt_byte_class(unsigned char c)
{
    switch (c) {
    case '\n':
        return WT_CLASS_LINE_FEED | WT_CLASS_SPACE;
    case '\t':
    case '\r':
    case ' ':
        return WT_CLASS_SPACE;
    case '|':
        return WT_CLASS_BAR;
    case '[':
        return WT_CLASS_BRACKET;
    case '-':
        return WT_CLASS_DASH;
    case '{':
        return WT_CLASS_BRACE;
    default:
        return 0;
    }
}

/* For any target: a byte at a time.  Also the model the others must match. */
static void wt_classify_plain(const char *block, wt_block_class *out)
{
    uint64_t masks[6] = {0, 0, 0, 0, 0, 0};
    for (unsigned i = 0; i < 64; i++) {
        unsigned c = wt_byte_class((unsigned char)block[i]);
        for (unsigned k = 0; k < 6; k++)
            masks[k] |= (uint64_t)((c >> k) & 1u) << i;
    }
    out->line_feed = masks[0];
    out->bar = masks[1];
    out->space = masks[2];
    out->bracket = masks[3];
    out->dash = masks[4];
    out->brace = masks[5];
}

#if defined(WT_CLASSIFY_X86)

/* SSE2 is part of x86-64 itself: four 16-byte compares per byte value. */
static inline uint64_t wt_sse2_equal(const __m128i *quarters, char c)
{
    __m128i value = _mm_set1_epi8(c);
    uint64_t mask = 0;
    for (unsigned q = 0; q < 4; q++)
        mask |= (uint64_t)(uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(quarters[q], value)) << (16 * q);
    return mask;
}

static void wt_classify_sse2(const char *block, wt_block_class *out)
{
    __m128i quarters[4];
    for (unsigned q = 0; q < 4; q++)
        quarters[q] = _mm_loadu_si128((const __m128i *)(const void *)(block + 16 * q));
    out->line_feed = wt_sse2_equal(quarters, '\n');
    out->bar = wt_sse2_equal(quarters, '|');
    out->space = out->line_feed | wt_sse2_equal(quarters, ' ') | wt_sse2_equal(quarters, '\t') |
                 wt_sse2_equal(quarters, '\r');
    out->bracket = wt_sse2_equal(quarters, '[');
    out->dash = wt_sse2_equal(quarters, '-');
    out->brace = wt_sse2_equal(quarters, '{');
}

__attribute__((target("avx2"))) static inline uint64_t wt_avx2_equal(__m256i low, __m256i high,
                                                                     char c)
{
    __m256i value = _mm256_set1_epi8(c);
    uint32_t lo = (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, value));
    uint32_t hi = (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, value));
    return (uint64_t)hi << 32 | lo;
}

__attribute__((target("avx2"))) static void wt_classify_avx2(const char *block, wt_block_class *out)
{
    __m256i low = _mm256_loadu_si256((const __m256i *)(const void *)block);
    __m256i high = _mm256_loadu_si256((const __m256i *)(const void *)(block + 32));
    out->line_feed = wt_avx2_equal(low, high, '\n');
    out->bar = wt_avx2_equal(low, high, '|');
    out->space = out->line_feed | wt_avx2_equal(low, high, ' ') | wt_avx2_equal(low, high, '\t') |
                 wt_avx2_equal(low, high, '\r');
    out->bracket = wt_avx2_equal(low, high, '[');
    out->dash = wt_avx2_equal(low, high, '-');
    out->brace = wt_avx2_equal(low, high, '{');
}

/* AVX-512BW compares straight into a 64-bit mask register. */
__attribute__((target("avx512f,avx512bw"))) static void wt_classify_avx512(const char *block,
                                                                           wt_block_class *out)
{
    __m512i bytes = _mm512_loadu_si512((const void *)block);
    out->line_feed = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'));
    out->bar = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('|'));
    out->space = out->line_feed | _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(' ')) |
                 _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\t')) |
                 _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\r'));
    out->bracket = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('['));
    out->dash = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('-'));
    out->brace = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('{'));
}

#elif defined(__wasm_simd128__)

static inline uint64_t wt_simd128_equal(const v128_t *quarters, char c)
{
    v128_t value = wasm_i8x16_splat(c);
    uint64_t mask = 0;
    for (unsigned q = 0; q < 4; q++)
        mask |= (uint64_t)wasm_i8x16_bitmask(wasm_i8x16_eq(quarters[q], value)) << (16 * q);
    return mask;
}

static void wt_classify_simd128(const char *block, wt_block_class *out)
{
    v128_t quarters[4];
    for (unsigned q = 0; q < 4; q++)
        quarters[q] = wasm_v128_load(block + 16 * q);
    out->line_feed = wt_simd128_equal(quarters, '\n');
    out->bar = wt_simd128_equal(quarters, '|');
    out->space = out->line_feed | wt_simd128_equal(quarters, ' ') |
                 wt_simd128_equal(quarters, '\t') | wt_simd128_equal(quarters, '\r');
    out->bracket = wt_simd128_equal(quarters, '[');
    out->dash = wt_simd128_equal(quarters, '-');
    out->brace = wt_simd128_equal(quarters, '{');
}

#endif

#endif
