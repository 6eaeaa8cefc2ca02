/* The byte searches of stage 2's byte walk: 16-byte compares where the
 * target has them without asking the processor (SSE2 on x86-64, SIMD128 in
 * a module built with -msimd128), else plain loops and memchr.  They are
 * instruction-set code, so they live with stage 1, but are chosen at compile
 * time: they sit in the walk's inner loops. */
#ifndef WT_STAGE1_SCAN_H
#define WT_STAGE1_SCAN_H

#include <stddef.h>
#include <string.h>

#include "wt_markup_rules.h"
#include "wt_stage1.h"

#if defined(WT_STAGE1_X86) && defined(__SSE2__)
#include "wt_simd_sse2.h"
#define WT_SCAN16 1
#elif defined(WT_STAGE1_SIMD128)
#include "wt_simd_simd128.h"
#define WT_SCAN16 1
#endif

#if defined(WT_SCAN16)
#include "wt_stage1_generic.h"

static_assert(WT_SIMD_WIDTH == 16, "the scans compare 16 bytes at a time");

static inline unsigned wt_scan16_byte(const char *block, char c)
{
    return (unsigned)wt_simd_bits(wt_simd_eq(wt_simd_load(block), c));
}

/* Bit i set where block[i], block[i + 1] is a guard pair (17 bytes read). */
static inline unsigned wt_scan16_guard_pairs(const char *block)
{
    return (unsigned)wt_simd_bits(
        wt_match_guard_pairs(wt_simd_load(block), wt_simd_load(block + 1)));
}
#endif

/* The first `c` in [p, end), or end.  `low` is where the readable bytes
 * before p begin: a short span is searched with one block that reaches
 * back over bytes already passed.  Spans inside tables are mostly short, so
 * the first 64 bytes are searched inline and only the rest of a longer span
 * goes to memchr. */
static inline const char *wt_find_byte(const char *low, const char *p, const char *end, char c)
{
#if defined(WT_SCAN16)
    if (end - p < 16) {
        if (end - low < 16) {
            while (p < end && *p != c)
                p++;
            return p;
        }
        const char *block = end - 16;
        unsigned mask = wt_scan16_byte(block, c) & (~0u << (p - block));
        return mask != 0 ? block + __builtin_ctz(mask) : end;
    }
    const char *inline_end = end - p > 64 ? p + 64 : end;
    for (;;) {
        unsigned mask = wt_scan16_byte(p, c);
        if (mask != 0)
            return p + __builtin_ctz(mask);
        p += 16;
        if (inline_end - p < 16)
            break;
    }
    if (inline_end == end) {
        if (p == end)
            return end;
        const char *block = end - 16;
        unsigned mask = wt_scan16_byte(block, c) & (~0u << (p - block));
        return mask != 0 ? block + __builtin_ctz(mask) : end;
    }
#else
    (void)low;
#endif
    const void *hit = memchr(p, c, (size_t)(end - p));
    return hit ? (const char *)hit : end;
}

/* Whether a guard pair lies wholly inside the n bytes at p; `low` as for
 * wt_find_byte. */
static inline int wt_has_guard_pair(const char *low, const char *p, size_t n)
{
    if (n < 2)
        return 0;
    size_t i = 0;
#if defined(WT_SCAN16)
    if (n < 17 && p + n - low >= 17) {
        const char *block = p + n - 17;
        return (wt_scan16_guard_pairs(block) & (~0u << (p - block))) != 0;
    }
    if (n >= 17) {
        for (;; i += 16) {
            if (i + 17 > n)
                i = n - 17; /* the last block overlaps the one before */
            if (wt_scan16_guard_pairs(p + i) != 0)
                return 1;
            if (i + 17 == n)
                return 0;
        }
    }
#else
    (void)low;
#endif
    for (; i + 1 < n; i++) {
        if (wt_is_guard_pair(p[i], p[i + 1]))
            return 1;
    }
    return 0;
}

#endif
