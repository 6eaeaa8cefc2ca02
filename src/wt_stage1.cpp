/* Which classifier runs: the widest that this build and this processor
 * offer, chosen at the first conversion (never at load), or the one a test
 * or the benchmark forces. */
#include "wt_stage1.h"

#if defined(WT_STAGE1_X86)
#include <cpuid.h>

/* Which register states the operating system saves: AVX needs YMM, AVX-512
 * its mask and ZMM registers as well. */
static uint64_t saved_register_states(void)
{
    uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (uint64_t)high << 32 | low;
}

static int widest_code_path(void)
{
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_OSXSAVE) == 0)
        return WTTABLE_PATH_SSE2;
    uint64_t states = saved_register_states();
    if ((states & 0x6) != 0x6 || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return WTTABLE_PATH_SSE2;
    if ((ebx & bit_AVX512F) != 0 && (ebx & bit_AVX512BW) != 0 && (states & 0xe6) == 0xe6)
        return WTTABLE_PATH_AVX512;
    return (ebx & bit_AVX2) != 0 ? WTTABLE_PATH_AVX2 : WTTABLE_PATH_SSE2;
}
#elif defined(WT_STAGE1_SIMD128)
static int widest_code_path(void)
{
    return WTTABLE_PATH_SIMD128;
}
#else
static int widest_code_path(void)
{
    return WTTABLE_PATH_PLAIN;
}
#endif

static int code_path_runs_here(int path)
{
    switch (path) {
    case WTTABLE_PATH_PLAIN:
        return 1;
#if defined(WT_STAGE1_X86)
    case WTTABLE_PATH_SSE2:
        return 1;
    case WTTABLE_PATH_AVX2:
    case WTTABLE_PATH_AVX512:
        return widest_code_path() >= path;
#elif defined(WT_STAGE1_SIMD128)
    case WTTABLE_PATH_SIMD128:
        return 1;
#endif
    default:
        return 0;
    }
}

/* Racing first conversions all store the same value. */
static int s_code_path;

int wttable_code_path(void)
{
    int path = __atomic_load_n(&s_code_path, __ATOMIC_RELAXED);
    if (path == WTTABLE_PATH_AUTO) {
        path = widest_code_path();
        __atomic_store_n(&s_code_path, path, __ATOMIC_RELAXED);
    }
    return path;
}

int wttable_force_code_path(int path)
{
    if (path != WTTABLE_PATH_AUTO && !code_path_runs_here(path))
        return 0;
    __atomic_store_n(&s_code_path, path, __ATOMIC_RELAXED);
    return 1;
}

const char *wttable_code_path_name(int path)
{
    static const char *const names[WTTABLE_PATH_COUNT] = {"auto", "plain", "sse2", "avx2", "avx512", "simd128"};
    return path > WTTABLE_PATH_AUTO && path < WTTABLE_PATH_COUNT ? names[path] : "";
}

/* A switch, not a pointer: each call site is plain to the compiler and to
 * sanitizers. */
void wt_classify_blocks(int path, const char *text, size_t count, const wt_mask_rows *rows)
{
    switch (path) {
#if defined(WT_STAGE1_X86)
    case WTTABLE_PATH_AVX512:
        wt_classify_avx512(text, count, rows);
        return;
    case WTTABLE_PATH_AVX2:
        wt_classify_avx2(text, count, rows);
        return;
    case WTTABLE_PATH_SSE2:
        wt_classify_sse2(text, count, rows);
        return;
#elif defined(WT_STAGE1_SIMD128)
    case WTTABLE_PATH_SIMD128:
        wt_classify_simd128(text, count, rows);
        return;
#endif
    default:
        wt_classify_plain(text, count, rows);
        return;
    }
}
