#include "wt_bytes.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(__SSE2__) && !defined(WTTABLE_NO_SIMD)
#include <emmintrin.h>
#endif

int wt_bytes_reserve(struct wt_bytes *b, size_t extra)
{
    if (b->cap - b->len > extra)
        return 1;
    if (extra > (size_t)-1 / 2 - b->len) {
        b->failed = 1;
        return 0;
    }
    size_t cap = b->cap < 256 ? 256 : b->cap;
    while (cap - b->len <= extra)
        cap *= 2;
    char *bigger = realloc(b->data, cap);
    if (bigger == NULL) {
        b->failed = 1;
        return 0;
    }
    b->data = bigger;
    b->cap = cap;
    return 1;
}

void wt_bytes_append_slow(struct wt_bytes *b, const void *data, size_t len)
{
    if (len == 0 || !wt_bytes_reserve(b, len))
        return;
    memcpy(b->data + b->len, data, len);
    b->len += len;
    b->data[b->len] = '\0';
}

void wt_bytes_append_str(struct wt_bytes *b, const char *s)
{
    wt_bytes_append(b, s, strlen(s));
}

void wt_bytes_decimal(struct wt_bytes *b, size_t v)
{
    if (v < 10) {
        char digit = (char)('0' + v);
        wt_bytes_append(b, &digit, 1);
        return;
    }
    char digits[24];
    size_t n = sizeof digits;
    do {
        digits[--n] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    wt_bytes_append(b, digits + n, sizeof digits - n);
}

void wt_bytes_printf(struct wt_bytes *b, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int need = vsnprintf(NULL, 0, fmt, ap);
    va_end(ap);
    if (need < 0) {
        b->failed = 1;
        return;
    }
    if (!wt_bytes_reserve(b, (size_t)need))
        return;
    va_start(ap, fmt);
    vsnprintf(b->data + b->len, (size_t)need + 1, fmt, ap);
    va_end(ap);
    b->len += (size_t)need;
}

void wt_bytes_free(struct wt_bytes *b)
{
    free(b->data);
    memset(b, 0, sizeof *b);
}

/* The length of the valid UTF-8 sequence at s (1 to 4), or 0 when the bytes
 * there are not one: overlong forms, surrogates and values above U+10FFFF
 * are invalid (RFC 3629). */
static size_t utf8_sequence(const unsigned char *s, size_t n)
{
    unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        return n >= 2 && (s[1] & 0xC0) == 0x80 ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (n < 3 || (s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80)
            return 0;
        if ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] >= 0xA0))
            return 0;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (n < 4 || (s[1] & 0xC0) != 0x80 || (s[2] & 0xC0) != 0x80 || (s[3] & 0xC0) != 0x80)
            return 0;
        if ((c == 0xF0 && s[1] < 0x90) || (c == 0xF4 && s[1] >= 0x90))
            return 0;
        return 4;
    }
    return 0;
}

void wt_bytes_json_string(struct wt_bytes *b, const char *str, size_t len)
{
    static const char k_hex[] = "0123456789abcdef";
    /* Worst case: every byte becomes a six-byte escape. */
    if (len > ((size_t)-1 - 3) / 6) {
        b->failed = 1;
        return;
    }
    if (!wt_bytes_reserve(b, len * 6 + 2))
        return;
    const unsigned char *s = (const unsigned char *)str;
    char *out = b->data + b->len;
    *out++ = '"';
    size_t i = 0;
    while (i < len) {
        /* Runs of plain ASCII are the common case. */
        size_t run = i;
#if defined(__SSE2__) && !defined(WTTABLE_NO_SIMD)
        const __m128i zero = _mm_setzero_si128();
        while (len - run >= 16) {
            __m128i v = _mm_loadu_si128((const __m128i *)(const void *)(s + run));
            __m128i control = _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(0x1F)), zero);
            __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                           _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
            /* The sign bit marks bytes from 0x80 up. */
            __m128i stops = _mm_or_si128(v, _mm_or_si128(control, special));
            unsigned stop = (unsigned)_mm_movemask_epi8(stops);
            if (stop != 0) {
                run += (size_t)__builtin_ctz(stop);
                break;
            }
            run += 16;
        }
#endif
        while (run < len && s[run] >= 0x20 && s[run] < 0x80 && s[run] != '"' && s[run] != '\\')
            run++;
        memcpy(out, s + i, run - i);
        out += run - i;
        i = run;
        if (i == len)
            break;
        unsigned char c = s[i];
        if (c >= 0x80) {
            size_t n = utf8_sequence(s + i, len - i);
            if (n == 0) {
                memcpy(out, "\xEF\xBF\xBD", 3); /* U+FFFD */
                out += 3;
                i++;
            } else {
                memcpy(out, s + i, n);
                out += n;
                i += n;
            }
            continue;
        }
        *out++ = '\\';
        switch (c) {
        case '"': *out++ = '"'; break;
        case '\\': *out++ = '\\'; break;
        case '\n': *out++ = 'n'; break;
        case '\r': *out++ = 'r'; break;
        case '\t': *out++ = 't'; break;
        case '\b': *out++ = 'b'; break;
        case '\f': *out++ = 'f'; break;
        default:
            *out++ = 'u';
            *out++ = '0';
            *out++ = '0';
            *out++ = k_hex[c >> 4];
            *out++ = k_hex[c & 15];
        }
        i++;
    }
    *out++ = '"';
    b->len = (size_t)(out - b->data);
    b->data[b->len] = '\0';
}
