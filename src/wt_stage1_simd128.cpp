/* Stage 1 on WebAssembly SIMD128, for a module built with -msimd128. */
#include "wt_stage1.h"

#if defined(WT_STAGE1_SIMD128)
#include "wt_simd_simd128.h"
#include "wt_stage1_generic.h"

void wt_classify_simd128(const char *text, size_t count, const wt_mask_rows *rows)
{
    wt_classify_generic(text, count, rows);
}
#endif
