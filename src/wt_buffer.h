/* Growable byte buffer that every piece of output is written into.
 *
 * Invariant, established by every operation here: a buffer with a block
 * (data != NULL) has len < cap and data[len] == '\0'; a buffer without one
 * has len == cap == 0.  A zeroed record is a valid empty buffer.  So the
 * contents can be handed out as a C string at any time without copying.
 *
 * Operations that return int give 1 when they did their work (or had
 * nothing to do) and 0 when they could not; after a 0 the record and its
 * contents are exactly as before.  Only allocation can fail, or a size that
 * would not fit in size_t.
 */
#ifndef WT_BUFFER_H
#define WT_BUFFER_H

#include <stddef.h>
#include <string.h>

#define WT_BUF_MIN_CAPACITY 64
#define WT_BUF_GROW_START 128

struct wt_buf {
    char *data;
    size_t len;
    size_t cap;
};

void wt_buf_init(wt_buf *buf, size_t initial_size);
void wt_buf_free(wt_buf *buf);
void wt_buf_reset(wt_buf *buf);
int wt_buf_ensure(wt_buf *buf, size_t more);
int wt_buf_append(wt_buf *buf, const char *bytes, size_t count);
int wt_buf_append_str(wt_buf *buf, const char *str);
int wt_buf_append_char(wt_buf *buf, int value);
int wt_buf_append_printf(wt_buf *buf, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
const char *wt_buf_cstring(const wt_buf *buf);

/* Growth step shared by all of the above: makes room for `more` bytes plus
 * the terminator.  Callers normally go through wt_buf_reserve. */
int wt_buf_grow(wt_buf *buf, size_t more);

/* Fast path for writers that reserve first and then store bytes themselves:
 * after a 1, data + len has room for `more` bytes and a NUL. */
static inline int wt_buf_reserve(wt_buf *buf, size_t more)
{
    /* cap > len whenever there is a block, so this cannot wrap. */
    if (buf->cap - buf->len > more)
        return 1;
    return wt_buf_grow(buf, more);
}

/* Appends bytes that are known to fit after a successful wt_buf_reserve. */
static inline void wt_buf_put(wt_buf *buf, const char *bytes, size_t count)
{
    memcpy(buf->data + buf->len, bytes, count);
    buf->len += count;
    buf->data[buf->len] = '\0';
}

#endif
