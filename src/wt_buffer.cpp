#include "wt_buffer.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static const char k_empty_text[] = "";

/* The capacity that holds `needed` bytes: WT_BUF_GROW_START for a buffer
 * without a block, else the current capacity doubled until it is enough.
 * Returns 0 when no such capacity fits in size_t. */
static size_t grown_capacity(size_t cap, size_t needed)
{
    if (cap > SIZE_MAX / 2)
        return 0;
    size_t next = cap == 0 ? WT_BUF_GROW_START : cap * 2;
    while (next < needed) {
        if (next > SIZE_MAX / 2)
            return 0;
        next *= 2;
    }
    return next;
}

int wt_buf_grow(wt_buf *buf, size_t more)
{
    if (more >= SIZE_MAX - buf->len)
        return 0; /* len + more + 1 would wrap */
    size_t needed = buf->len + more + 1;
    if (buf->cap >= needed)
        return 1;
    size_t cap = grown_capacity(buf->cap, needed);
    if (cap == 0)
        return 0;
    char *block = (char *)realloc(buf->data, cap);
    if (block == NULL)
        return 0; /* the old block is still ours and unchanged */
    if (buf->data == NULL)
        block[0] = '\0'; /* a first block must show the empty text */
    buf->data = block;
    buf->cap = cap;
    return 1;
}

void wt_buf_init(wt_buf *buf, size_t initial_size)
{
    if (buf == NULL)
        return;
    size_t cap = initial_size < WT_BUF_MIN_CAPACITY ? WT_BUF_MIN_CAPACITY : initial_size;
    buf->data = (char *)malloc(cap);
    buf->len = 0;
    if (buf->data == NULL) {
        buf->cap = 0;
        return;
    }
    buf->data[0] = '\0';
    buf->cap = cap;
}

void wt_buf_free(wt_buf *buf)
{
    if (buf == NULL)
        return;
    if (buf->data != NULL) {
        free(buf->data);
        buf->data = NULL;
    }
    buf->len = 0;
    buf->cap = 0;
}

void wt_buf_reset(wt_buf *buf)
{
    if (buf == NULL)
        return;
    buf->len = 0;
    if (buf->data != NULL && buf->cap != 0)
        buf->data[0] = '\0';
}

int wt_buf_ensure(wt_buf *buf, size_t more)
{
    if (buf == NULL)
        return 0;
    return wt_buf_grow(buf, more);
}

int wt_buf_append(wt_buf *buf, const char *bytes, size_t count)
{
    if (buf == NULL || bytes == NULL || count == 0)
        return 1;
    if (!wt_buf_reserve(buf, count))
        return 0;
    wt_buf_put(buf, bytes, count);
    return 1;
}

int wt_buf_append_str(wt_buf *buf, const char *str)
{
    if (str == NULL)
        return 1;
    return wt_buf_append(buf, str, strlen(str));
}

int wt_buf_append_char(wt_buf *buf, int value)
{
    if (buf == NULL)
        return 0;
    if (!wt_buf_reserve(buf, 1))
        return 0;
    buf->data[buf->len] = (char)(unsigned char)value;
    buf->len += 1;
    buf->data[buf->len] = '\0';
    return 1;
}

int wt_buf_append_printf(wt_buf *buf, const char *format, ...)
{
    if (buf == NULL || format == NULL)
        return 0;
    va_list args;
    va_list again;
    va_start(args, format);
    va_copy(again, args);
    int measured = vsnprintf(NULL, 0, format, args);
    va_end(args);
    int ok = 0;
    if (measured >= 0 && wt_buf_reserve(buf, (size_t)measured)) {
        vsnprintf(buf->data + buf->len, buf->cap - buf->len, format, again);
        buf->len += (size_t)measured;
        ok = 1;
    }
    va_end(again);
    return ok;
}

const char *wt_buf_cstring(const wt_buf *buf)
{
    if (buf == NULL || buf->data == NULL)
        return k_empty_text;
    return buf->data;
}
