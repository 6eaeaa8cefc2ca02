/* Preloaded into a tool by a test: the first allocation of at least 64
 * bytes after a conversion fails, as on a machine whose memory ran out just
 * then.  It stands between the tool and the library's two conversions;
 * glibc's own entry points do the allocating. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

void *__libc_malloc(size_t size);
void *__libc_realloc(void *block, size_t size);

static int s_armed;

static int take_failure(size_t size)
{
    if (!s_armed || size < 64)
        return 0;
    s_armed = 0;
    return 1;
}

void *malloc(size_t size)
{
    return take_failure(size) ? NULL : __libc_malloc(size);
}

void *realloc(void *block, size_t size)
{
    return take_failure(size) ? NULL : __libc_realloc(block, size);
}

typedef const char *(*convert_fn)(const char *);

static const char *convert_then_arm(const char *name, const char *text)
{
    convert_fn real = (convert_fn)dlsym(RTLD_NEXT, name);
    const char *html = real(text);
    s_armed = 1;
    return html;
}

const char *wttable_to_html(const char *text)
{
    return convert_then_arm("wttable_to_html", text);
}

const char *wttable_parse_document(const char *text)
{
    return convert_then_arm("wttable_parse_document", text);
}
