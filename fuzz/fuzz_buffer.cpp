// Fuzzes the growable buffer: a sequence of operations read from the input
// is applied to a buffer and to a plain model of its contents, with
// allocation failures injected where the input says.  After every step the
// invariants hold: NUL after the content, len below cap, and nothing
// changed by a failed operation.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "wt_buffer.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_realloc(void *block, size_t size);
void *__wrap_malloc(size_t size);
void *__wrap_realloc(void *block, size_t size);
}

static bool s_fail_next;

void *__wrap_malloc(size_t size)
{
    if (s_fail_next)
        return nullptr;
    return __real_malloc(size);
}

void *__wrap_realloc(void *block, size_t size)
{
    if (s_fail_next)
        return nullptr;
    return __real_realloc(block, size);
}

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at;
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
};

static void check_invariants(const wt_buf &b, const std::string &model)
{
    if (b.data == nullptr) {
        check(b.len == 0 && b.cap == 0 && model.empty());
        check(*wt_buf_cstring(&b) == '\0');
        return;
    }
    check(b.len < b.cap);
    check(b.data[b.len] == '\0');
    check(b.len == model.size());
    check(memcmp(b.data, model.data(), model.size()) == 0);
    check(wt_buf_cstring(&b) == b.data);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in = {data, size, 0};
    wt_buf b = {nullptr, 0, 0};
    std::string model;
    char bytes[256];
    while (in.more()) {
        uint8_t op = in.byte();
        s_fail_next = (op & 0x80) != 0;
        size_t n = in.byte();
        for (size_t i = 0; i < n; i++)
            bytes[i] = (char)in.byte();
        const wt_buf before = b;
        int rc = 1;
        switch (op & 0x0f) {
        case 0:
            rc = wt_buf_append(&b, bytes, n);
            if (rc)
                model.append(bytes, n);
            break;
        case 1: {
            bytes[n < 255 ? n : 255] = '\0';
            rc = wt_buf_append_str(&b, bytes);
            if (rc)
                model += bytes;
            break;
        }
        case 2:
            rc = wt_buf_append_char(&b, (int)n + 0x100);
            if (rc)
                model += (char)n;
            break;
        case 3: {
            bytes[n < 255 ? n : 255] = '\0';
            rc = wt_buf_append_printf(&b, "[%s|%zu]", bytes, n);
            if (rc)
                model += "[" + std::string(bytes) + "|" + std::to_string(n) + "]";
            break;
        }
        case 4:
            rc = wt_buf_ensure(&b, n * 97);
            if (rc)
                check(b.cap > b.len + n * 97);
            break;
        case 5:
            wt_buf_reset(&b);
            model.clear();
            break;
        case 6:
            if (!s_fail_next) {
                wt_buf_free(&b);
                model.clear();
            }
            break;
        case 7:
            rc = wt_buf_ensure(&b, SIZE_MAX - n);
            check(rc == 0);
            break;
        default:
            break;
        }
        if (!rc) {
            // A failed operation leaves the record exactly as it was.
            check(b.data == before.data && b.len == before.len && b.cap == before.cap);
        }
        s_fail_next = false;
        check_invariants(b, model);
    }
    wt_buf_free(&b);
    return 0;
}
