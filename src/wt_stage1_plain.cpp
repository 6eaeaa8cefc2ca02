/* Stage 1, a byte at a time: the model for the other classifiers, and the
 * one that builds without SIMD use. */
#include "wt_simd_scalar.h"
#include "wt_stage1_generic.h"

void wt_classify_plain(const char *text, size_t count, const wt_mask_rows *rows)
{
    wt_classify_generic(text, count, rows);
}
