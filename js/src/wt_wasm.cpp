// What the JavaScript side needs beside the five exports: memory for the
// texts it passes in.  Results stay in the library's own buffers and are
// copied out by the caller at once.
#include <stdlib.h>
#include <string.h>

extern "C" {

/* Every allocation of the module goes through these (the link wraps malloc
 * and realloc): the library drops what it has no room for without failing,
 * so the glue asks afterwards whether that happened. */
void *__real_malloc(size_t size);
void *__real_realloc(void *block, size_t size);
static int s_alloc_failed;

void *__wrap_malloc(size_t size)
{
    void *block = __real_malloc(size);
    if (block == nullptr && size != 0)
        s_alloc_failed = 1;
    return block;
}

void *__wrap_realloc(void *block, size_t size)
{
    void *bigger = __real_realloc(block, size);
    if (bigger == nullptr && size != 0)
        s_alloc_failed = 1;
    return bigger;
}

__attribute__((export_name("wtjs_take_alloc_failure"))) int wtjs_take_alloc_failure(void)
{
    int failed = s_alloc_failed;
    s_alloc_failed = 0;
    return failed;
}

__attribute__((export_name("wtjs_alloc"))) void *wtjs_alloc(size_t size)
{
    return malloc(size);
}

__attribute__((export_name("wtjs_free"))) void wtjs_free(void *block)
{
    free(block);
}
}

#if defined(__wasm_simd128__)
#include <stdint.h>
#include <wasm_simd128.h>

/* wasi-libc's memchr goes a word at a time; the converter finds every line
 * end with it.  This one compares 16 bytes at once.  Its loads are aligned,
 * so a block never reaches past the 64 KiB page that holds the text's last
 * byte, and the bytes it reads beyond the range are ignored. */
extern "C" void *memchr(const void *s, int c, size_t n)
{
    if (n == 0)
        return nullptr;
    const unsigned char *p = static_cast<const unsigned char *>(s);
    const unsigned char *end = p + n;
    const unsigned char *block = reinterpret_cast<const unsigned char *>(
        reinterpret_cast<uintptr_t>(p) & ~static_cast<uintptr_t>(15));
    const v128_t needle = wasm_i8x16_splat(static_cast<int8_t>(c));
    unsigned mask = wasm_i8x16_bitmask(wasm_i8x16_eq(wasm_v128_load(block), needle)) &
                    (0xFFFFu << (p - block));
    for (;;) {
        if (mask != 0) {
            const unsigned char *hit = block + __builtin_ctz(mask);
            return hit < end ? const_cast<unsigned char *>(hit) : nullptr;
        }
        block += 16;
        if (block >= end)
            return nullptr;
        mask = wasm_i8x16_bitmask(wasm_i8x16_eq(wasm_v128_load(block), needle));
    }
}

/* The length of the NUL-terminated text at s, 16 bytes at a time, with the
 * same aligned loads.  JavaScript's own scans run a byte at a time. */
extern "C" __attribute__((export_name("wtjs_length"))) size_t wtjs_length(const char *s)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    const unsigned char *block = reinterpret_cast<const unsigned char *>(
        reinterpret_cast<uintptr_t>(p) & ~static_cast<uintptr_t>(15));
    const v128_t zero = wasm_i8x16_splat(0);
    unsigned mask = wasm_i8x16_bitmask(wasm_i8x16_eq(wasm_v128_load(block), zero)) &
                    (0xFFFFu << (p - block));
    while (mask == 0) {
        block += 16;
        mask = wasm_i8x16_bitmask(wasm_i8x16_eq(wasm_v128_load(block), zero));
    }
    return static_cast<size_t>(block + __builtin_ctz(mask) - p);
}
#else
#include <string.h>

extern "C" __attribute__((export_name("wtjs_length"))) size_t wtjs_length(const char *s)
{
    return strlen(s);
}
#endif

/* Where the first NUL of the n bytes at s lies, or SIZE_MAX: the library
 * would stop reading there, so the caller refuses such a text.  Unsigned:
 * an offset past 2 GiB is no error. */
extern "C" __attribute__((export_name("wtjs_find_nul"))) size_t wtjs_find_nul(const char *s,
                                                                              size_t n)
{
    const void *nul = memchr(s, 0, n);
    return nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - s)
                          : static_cast<size_t>(-1);
}
