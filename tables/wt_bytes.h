/* A growable byte string for the programs: output records, messages. */
#ifndef WT_BYTES_H
#define WT_BYTES_H

#include <stddef.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

struct wt_bytes {
    char *data;
    size_t len;
    size_t cap;
    int failed; /* an append ran out of memory; what was appended is incomplete */
};

/* Room for `extra` more bytes and a NUL; 0 (and `failed`) when memory ran
 * out. */
int wt_bytes_reserve(struct wt_bytes *b, size_t extra);

void wt_bytes_append_slow(struct wt_bytes *b, const void *data, size_t len);

/* Inline where there is room: records are made of many short appends. */
static inline void wt_bytes_append(struct wt_bytes *b, const void *data, size_t len)
{
    if (len == 0)
        return;
    if (len < 256 && b->cap - b->len > len) {
        memcpy(b->data + b->len, data, len);
        b->len += len;
        b->data[b->len] = '\0';
        return;
    }
    wt_bytes_append_slow(b, data, len);
}

void wt_bytes_append_str(struct wt_bytes *b, const char *s);

/* Appends v in decimal: without printf, which costs more than the rest of
 * a record and would bring stdio into the WebAssembly module. */
void wt_bytes_decimal(struct wt_bytes *b, size_t v);
void wt_bytes_printf(struct wt_bytes *b, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void wt_bytes_free(struct wt_bytes *b);

/* Appends `s` as a JSON string (RFC 8259), quotes included: bytes that are
 * not valid UTF-8 become U+FFFD, so the result is always valid JSON. */
void wt_bytes_json_string(struct wt_bytes *b, const char *s, size_t len);

#ifdef __cplusplus
}
#endif

#endif
