/* The classifier of stage 1, written once over the primitives of the
 * wt_simd_*.h header included before this one: a load of WT_SIMD_WIDTH
 * bytes, a compare with one byte, OR, AND and the bits of a compare.  The
 * compares are combined before the one bit extraction each mask needs; the
 * pair test compares a load one byte further on. */
#ifndef WT_STAGE1_GENERIC_H
#define WT_STAGE1_GENERIC_H

#include "wt_markup_rules.h"
#include "wt_stage1.h"

static_assert(64 % WT_SIMD_WIDTH == 0, "a block is a whole number of loads");

/* TAB, LF, CR and SPACE, as wt_is_space says; `line_feed` is the compare
 * with LF, which the caller has made already. */
static inline wt_simd_match wt_match_space(wt_simd_bytes bytes, wt_simd_match line_feed)
{
    return wt_simd_or(wt_simd_or(line_feed, wt_simd_eq(bytes, ' ')),
                      wt_simd_or(wt_simd_eq(bytes, '\t'), wt_simd_eq(bytes, '\r')));
}

/* The first byte of each guard pair, from the bytes and the bytes one
 * further on. */
static inline wt_simd_match wt_match_guard_pairs(wt_simd_bytes bytes, wt_simd_bytes next)
{
    return wt_simd_or(wt_simd_and(wt_simd_eq(bytes, WT_GUARD_LINK_FIRST),
                                  wt_simd_eq(next, WT_GUARD_LINK_SECOND)),
                      wt_simd_and(wt_simd_eq(bytes, WT_GUARD_VARIANT_FIRST),
                                  wt_simd_eq(next, WT_GUARD_VARIANT_SECOND)));
}

static inline void wt_classify_generic(const char *text, size_t count, const wt_mask_rows *rows)
{
    for (size_t k = 0; k < count; k++) {
        const char *block = text + 64 * k;
        uint64_t line_feed = 0, bar = 0, space = 0, guard = 0, bang = 0;
        for (unsigned at = 0; at < 64; at += WT_SIMD_WIDTH) {
            wt_simd_bytes bytes = wt_simd_load(block + at);
            wt_simd_bytes next = wt_simd_load(block + at + 1);
            wt_simd_match lf = wt_simd_eq(bytes, '\n');
            line_feed |= wt_simd_bits(lf) << at;
            bar |= wt_simd_bits(wt_simd_eq(bytes, '|')) << at;
            bang |= wt_simd_bits(wt_simd_eq(bytes, '!')) << at;
            space |= wt_simd_bits(wt_match_space(bytes, lf)) << at;
            guard |= wt_simd_bits(wt_match_guard_pairs(bytes, next)) << at;
        }
        rows->line_feed[k] = line_feed;
        rows->bar[k] = bar;
        rows->space[k] = space;
        rows->guard[k] = guard;
        rows->bang[k] = bang;
    }
}

#endif
