/* Stage 1 of the converter: one bit for each byte of a 64-byte block that
 * steers the markup.  Stage 2's window path then takes its decisions from
 * these masks with shifts and bit counts instead of testing bytes one by
 * one, which is where a byte loop spends its time: in branches that the
 * processor cannot predict.
 *
 * The classifier is written once (wt_stage1_generic.h) over a few
 * primitives per instruction set (wt_simd_*.h); each wt_stage1_*.cpp builds
 * it for one, and wt_stage1.cpp picks the widest that the processor offers.
 * Instruction-set code lives in these files only. */
#ifndef WT_STAGE1_H
#define WT_STAGE1_H

#include <stddef.h>
#include <stdint.h>

/* WTTABLE_NO_SIMD (the CMake option of that name) leaves every intrinsic
 * out, so the scalar code is built and tested like the others. */
#if defined(__x86_64__) && !defined(WTTABLE_NO_SIMD)
#define WT_STAGE1_X86 1
#elif defined(__wasm_simd128__) && !defined(WTTABLE_NO_SIMD)
#define WT_STAGE1_SIMD128 1
#endif

/* The ways to classify bytes; the converter picks the widest that the
 * processor offers at its first conversion. */
enum wttable_code_path {
    WTTABLE_PATH_AUTO = 0, /* for wttable_force_code_path: pick again */
    WTTABLE_PATH_PLAIN,
    WTTABLE_PATH_SSE2,
    WTTABLE_PATH_AVX2,
    WTTABLE_PATH_AVX512,
    WTTABLE_PATH_SIMD128,
    WTTABLE_PATH_COUNT
};

/* The path that conversions use, chosen now if it was not yet. */
int wttable_code_path(void);

/* Makes every later conversion use `path`, for the benchmark and the tests.
 * Returns 1, or 0 (and changes nothing) when this build or this processor
 * cannot run it.  Not thread-safe against running conversions. */
int wttable_force_code_path(int path);

/* "plain", "sse2", "avx2", "avx512", "simd128"; "" for no such path. */
const char *wttable_code_path_name(int path);

/* Bit i of a word stands for byte i of its block. */
struct wt_mask_rows {
    uint64_t *line_feed;
    uint64_t *bar;   /* "|" */
    uint64_t *space; /* TAB, LF, CR and SPACE: the markup's whitespace */
    uint64_t *guard; /* the first byte of each "[[" and "-{" */
    uint64_t *bang;  /* "!" */
};

/* Each classifies `count` blocks from `text` and stores word k of each mask
 * at index k of its row.  They read the byte behind the last block too (the
 * second byte of a pair): the caller makes sure that it belongs to the
 * text, its NUL at most. */
typedef void (*wt_classify_fn)(const char *text, size_t count, const wt_mask_rows *rows);

void wt_classify_plain(const char *text, size_t count, const wt_mask_rows *rows);
#if defined(WT_STAGE1_X86)
void wt_classify_sse2(const char *text, size_t count, const wt_mask_rows *rows);
void wt_classify_avx2(const char *text, size_t count, const wt_mask_rows *rows);
void wt_classify_avx512(const char *text, size_t count, const wt_mask_rows *rows);
#elif defined(WT_STAGE1_SIMD128)
void wt_classify_simd128(const char *text, size_t count, const wt_mask_rows *rows);
#endif

/* The classifier of `path`, which must run here (the plain one for
 * anything else). */
void wt_classify_blocks(int path, const char *text, size_t count, const wt_mask_rows *rows);

#endif
