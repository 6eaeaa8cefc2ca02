/* Stage 1 on SSE2, which every x86-64 processor has. */
#include "wt_stage1.h"

#if defined(WT_STAGE1_X86)
#include "wt_simd_sse2.h"
#include "wt_stage1_generic.h"

void wt_classify_sse2(const char *text, size_t count, const wt_mask_rows *rows)
{
    wt_classify_generic(text, count, rows);
}
#endif
