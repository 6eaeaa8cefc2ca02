/* Stage 1 on AVX2; this file alone is built with -mavx2.  Called only where the
 * processor has it (wt_stage1.cpp). */
#include "wt_stage1.h"

#if defined(WT_STAGE1_X86)
#include "wt_simd_avx2.h"
#include "wt_stage1_generic.h"

void wt_classify_avx2(const char *text, size_t count, const wt_mask_rows *rows)
{
    wt_classify_generic(text, count, rows);
}
#endif
