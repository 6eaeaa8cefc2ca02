#define _GNU_SOURCE

#include "wt_dump_reader.h"

#include <stdlib.h>
#include <string.h>

static enum wt_dump_element element_code(const char *name)
{
    static const struct {
        const char *name;
        enum wt_dump_element code;
    } k_names[] = {
        {"mediawiki", WT_EL_MEDIAWIKI}, {"siteinfo", WT_EL_SITEINFO},
        {"namespaces", WT_EL_NAMESPACES}, {"namespace", WT_EL_NAMESPACE},
        {"page", WT_EL_PAGE},           {"title", WT_EL_TITLE},
        {"ns", WT_EL_NS},               {"id", WT_EL_ID},
        {"revision", WT_EL_REVISION},   {"timestamp", WT_EL_TIMESTAMP},
        {"text", WT_EL_TEXT},
    };
    for (size_t i = 0; i < sizeof k_names / sizeof k_names[0]; i++)
        if (strcmp(name, k_names[i].name) == 0)
            return k_names[i].code;
    return WT_EL_OTHER;
}

static enum wt_dump_element current_of(const struct wt_dump_reader *r)
{
    return r->depth >= 1 && r->depth - 1 < WT_DUMP_STACK_MAX ? r->stack[r->depth - 1]
                                                              : WT_EL_OTHER;
}

static enum wt_dump_element parent_of(const struct wt_dump_reader *r)
{
    return r->depth >= 2 && r->depth - 2 < WT_DUMP_STACK_MAX ? r->stack[r->depth - 2]
                                                              : WT_EL_OTHER;
}

/* A number with an optional minus sign, as namespace keys are written. */
static int parse_signed(const struct wt_bytes *b, long *value)
{
    long long v;
    if (b->len == 0)
        return 0;
    int negative = b->len > 1 && b->data[0] == '-';
    if (!wt_record_parse_number(b->data + negative, b->len - (size_t)negative, &v))
        return 0;
    *value = negative ? -(long)v : (long)v;
    return 1;
}

/* The namespace of a page without <ns>: the one whose name prefixes the
 * title ("Talk:Foo"), else 0. */
static long namespace_from_title(const struct wt_dump_reader *r)
{
    const struct wt_bytes *title = &r->rev.title;
    const char *colon = title->len > 0 ? memchr(title->data, ':', title->len) : NULL;
    if (colon == NULL)
        return 0;
    size_t prefix = (size_t)(colon - title->data);
    for (size_t i = 0; i < r->ns_count; i++)
        if (r->ns_names[i].key != 0 && strlen(r->ns_names[i].name) == prefix &&
            memcmp(r->ns_names[i].name, title->data, prefix) == 0)
            return r->ns_names[i].key;
    return 0;
}

static long page_namespace(const struct wt_dump_reader *r)
{
    long ns;
    if (r->has_ns && parse_signed(&r->ns, &ns))
        return ns;
    return namespace_from_title(r);
}

static int namespace_selected(const struct wt_dump_reader *r)
{
    if (r->all_namespaces)
        return 1;
    long ns = page_namespace(r);
    for (int i = 0; i < r->namespace_count; i++)
        if (r->namespaces[i] == ns)
            return 1;
    return 0;
}

static void reset_page(struct wt_dump_reader *r)
{
    r->rev.title.len = r->ns.len = r->rev.page_id.len = 0;
    r->has_ns = r->rev.has_page_id = 0;
    r->page_selected = -1;
}

static void reset_revision(struct wt_dump_reader *r)
{
    r->rev.rev_id.len = r->rev.timestamp.len = r->rev.text.len = 0;
    r->rev.has_rev_id = r->rev.has_timestamp = 0;
}

static void XMLCALL on_start(void *user, const XML_Char *name, const XML_Char **attrs)
{
    struct wt_dump_reader *r = user;
    enum wt_dump_element el = element_code(name);
    if (r->depth < WT_DUMP_STACK_MAX)
        r->stack[r->depth] = el;
    r->depth++;
    enum wt_dump_element parent = parent_of(r);
    r->capture = NULL;
    switch (el) {
    case WT_EL_PAGE:
        if (parent == WT_EL_MEDIAWIKI)
            reset_page(r);
        break;
    case WT_EL_TITLE:
        if (parent == WT_EL_PAGE)
            r->capture = &r->rev.title;
        break;
    case WT_EL_NS:
        if (parent == WT_EL_PAGE) {
            r->has_ns = 1;
            r->capture = &r->ns;
        }
        break;
    case WT_EL_ID:
        if (parent == WT_EL_PAGE) {
            r->rev.has_page_id = 1;
            r->rev.page_id.len = 0;
            r->capture = &r->rev.page_id;
        } else if (parent == WT_EL_REVISION) {
            r->rev.has_rev_id = 1;
            r->capture = &r->rev.rev_id;
        }
        break;
    case WT_EL_REVISION:
        if (parent == WT_EL_PAGE) {
            reset_revision(r);
            if (r->page_selected < 0)
                r->page_selected = namespace_selected(r);
        }
        break;
    case WT_EL_TIMESTAMP:
        if (parent == WT_EL_REVISION) {
            r->rev.has_timestamp = 1;
            r->capture = &r->rev.timestamp;
        }
        break;
    case WT_EL_TEXT:
        if (parent == WT_EL_REVISION && r->page_selected)
            r->capture = &r->rev.text;
        break;
    case WT_EL_NAMESPACE:
        if (parent == WT_EL_NAMESPACES) {
            r->ns_key_text.len = r->ns_name_text.len = 0;
            for (int i = 0; attrs[i] != NULL; i += 2)
                if (strcmp(attrs[i], "key") == 0)
                    wt_bytes_append_str(&r->ns_key_text, attrs[i + 1]);
            r->capture = &r->ns_name_text;
        }
        break;
    default:
        break;
    }
}

static void add_namespace_name(struct wt_dump_reader *r)
{
    long key;
    if (!parse_signed(&r->ns_key_text, &key))
        return;
    struct wt_dump_ns_name *bigger = realloc(r->ns_names, (r->ns_count + 1) * sizeof *bigger);
    if (bigger == NULL)
        return;
    r->ns_names = bigger;
    r->ns_names[r->ns_count].key = key;
    const char *name = r->ns_name_text.data != NULL ? r->ns_name_text.data : "";
    r->ns_names[r->ns_count].name = strndup(name, r->ns_name_text.len);
    if (r->ns_names[r->ns_count].name != NULL)
        r->ns_count++;
}

static void XMLCALL on_end(void *user, const XML_Char *name)
{
    struct wt_dump_reader *r = user;
    (void)name;
    enum wt_dump_element el = current_of(r);
    enum wt_dump_element parent = parent_of(r);
    r->capture = NULL;
    r->depth--;
    if (el == WT_EL_REVISION && parent == WT_EL_PAGE && r->page_selected) {
        r->rev.ns = page_namespace(r);
        r->on_revision(r->ctx, &r->rev);
    } else if (el == WT_EL_NAMESPACE && parent == WT_EL_NAMESPACES) {
        add_namespace_name(r);
    } else if (el == WT_EL_PAGE && parent == WT_EL_MEDIAWIKI) {
        if (r->page_selected < 0)
            r->page_selected = namespace_selected(r);
        if (r->page_selected) {
            r->pages++;
            if (r->limited && --r->page_budget == 0) {
                r->stopped = 1;
                XML_StopParser(r->parser, XML_FALSE);
            }
        }
    }
}

static const char *field_name(const struct wt_dump_reader *r)
{
    switch (current_of(r)) {
    case WT_EL_TITLE: return "<title>";
    case WT_EL_NS: return "<ns>";
    case WT_EL_ID: return "<id>";
    case WT_EL_TIMESTAMP: return "<timestamp>";
    default: return "<namespace>";
    }
}

static void XMLCALL on_text(void *user, const XML_Char *s, int len)
{
    struct wt_dump_reader *r = user;
    if (r->capture == NULL)
        return;
    if (r->capture != &r->rev.text && r->capture->len + (size_t)len > WT_DUMP_FIELD_MAX) {
        wt_bytes_printf(r->msgs,
                        "wttable-dump: %s: line %lu, column %lu (byte %lld): %s longer than "
                        "%d bytes: not a wiki dump\n",
                        r->name, (unsigned long)XML_GetCurrentLineNumber(r->parser),
                        (unsigned long)XML_GetCurrentColumnNumber(r->parser) + 1,
                        (long long)XML_GetCurrentByteIndex(r->parser), field_name(r),
                        WT_DUMP_FIELD_MAX);
        r->status = 2;
        r->field_too_long = 1;
        r->capture = NULL;
        XML_StopParser(r->parser, XML_FALSE);
        return;
    }
    wt_bytes_append(r->capture, s, (size_t)len);
}

void wt_dump_reader_stop(struct wt_dump_reader *r)
{
    XML_StopParser(r->parser, XML_FALSE);
}

/* The first block, for a clear word about a file that is no dump at all. */
static int refuse_not_xml(struct wt_dump_reader *r, const char *block, size_t n)
{
    const char *what = wt_source_sniff_not_xml(block, n);
    if (what == NULL)
        return 0;
    const char *comp = wt_source_compression(r->source);
    int compressed = strcmp(comp, "none") != 0;
    wt_bytes_printf(r->msgs, "wttable-dump: %s: not an XML dump%s%s%s: %s\n", r->name,
                    compressed ? " (after " : "", compressed ? comp : "",
                    compressed ? " decompression)" : "", what);
    r->status = 2;
    return 1;
}

/* An XML error: where expat stopped, in the bytes fed so far. */
static void report_xml_error(struct wt_dump_reader *r, int final)
{
    unsigned long line = (unsigned long)XML_GetCurrentLineNumber(r->parser);
    long long byte = (long long)XML_GetCurrentByteIndex(r->parser);
    if (r->locate != NULL)
        r->locate(r, &line, &byte);
    wt_bytes_printf(r->msgs, "wttable-dump: %s: %sline %lu, column %lu (byte %lld): %s%s\n",
                    r->name, r->where != NULL ? r->where : "", line,
                    (unsigned long)XML_GetCurrentColumnNumber(r->parser) + 1, byte,
                    XML_ErrorString(XML_GetErrorCode(r->parser)),
                    final ? " (the dump is cut off)" : "");
    r->status = 2;
}

int wt_dump_begin(struct wt_dump_reader *r)
{
    r->parser = XML_ParserCreate(NULL);
    if (r->parser == NULL) {
        wt_bytes_printf(r->msgs, "wttable-dump: %s: out of memory\n", r->name);
        r->status = 2;
        return 0;
    }
    XML_SetUserData(r->parser, r);
    XML_SetElementHandler(r->parser, on_start, on_end);
    XML_SetCharacterDataHandler(r->parser, on_text);
    r->depth = 0;
    r->capture = NULL;
    r->field_too_long = 0;
    reset_page(r);
    reset_revision(r);
    return 1;
}

int wt_dump_feed(struct wt_dump_reader *r, const char *bytes, size_t len, int final)
{
    /* expat takes an int: a larger block goes in pieces. */
    const size_t piece_max = (size_t)1 << 30;
    do {
        size_t piece = len < piece_max ? len : piece_max;
        int last = final && piece == len;
        enum XML_Status st = XML_Parse(r->parser, bytes, (int)piece, last);
        if (st == XML_STATUS_SUSPENDED || r->stopped || r->field_too_long)
            return 0;
        if (st != XML_STATUS_OK) {
            report_xml_error(r, last);
            return 0;
        }
        bytes += piece;
        len -= piece;
    } while (len > 0);
    return 1;
}

void wt_dump_end(struct wt_dump_reader *r)
{
    if (r->parser != NULL)
        XML_ParserFree(r->parser);
    r->parser = NULL;
    for (size_t i = 0; i < r->ns_count; i++)
        free(r->ns_names[i].name);
    r->ns_count = 0;
}

static void parse_blocks(struct wt_dump_reader *r)
{
    int first = 1;
    for (;;) {
        const char *block;
        ssize_t n = wt_source_read(r->source, &block);
        if (n < 0) {
            wt_bytes_printf(r->msgs, "wttable-dump: %s: %s\n", r->name,
                            wt_source_error(r->source));
            r->status = 2;
            return;
        }
        if (first && n > 0 && refuse_not_xml(r, block, (size_t)n))
            return;
        first = 0;
        r->bytes_read += n;
        if (!wt_dump_feed(r, block, (size_t)n, n == 0))
            return;
        if (r->on_progress != NULL)
            r->on_progress(r->ctx);
        if (n == 0)
            return;
    }
}

void wt_dump_read_file(struct wt_dump_reader *r, const char *path)
{
    char error[256];
    r->bytes_read = 0;
    r->file_size = -1;
    r->source = wt_source_open(path, error, sizeof error);
    if (r->source == NULL) {
        wt_bytes_printf(r->msgs, "wttable-dump: %s: %s\n", r->name, error);
        r->status = 2;
        return;
    }
    r->file_size = wt_source_size(r->source);
    if (wt_dump_begin(r))
        parse_blocks(r);
    wt_dump_end(r);
    wt_source_close(r->source);
    r->source = NULL;
}

void wt_dump_reader_free(struct wt_dump_reader *r)
{
    free(r->ns_names);
    r->ns_names = NULL;
    struct wt_bytes *fields[] = {&r->ns_key_text, &r->ns_name_text, &r->ns, &r->rev.title,
                                 &r->rev.page_id, &r->rev.rev_id, &r->rev.timestamp,
                                 &r->rev.text};
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; i++)
        wt_bytes_free(fields[i]);
}
