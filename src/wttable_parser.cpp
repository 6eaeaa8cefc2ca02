#include "wttable_parser.h"

#include <stdint.h>
#include <string.h>

/* Every writer below returns 0 when the buffer could not grow.  The first
 * such failure ends the conversion: a result with pieces missing must never
 * pass for a good one. */

static int emit(wt_buf *buf, const char *bytes, size_t count)
{
    if (count == 0)
        return 1;
    if (!wt_buf_reserve(buf, count))
        return 0;
    wt_buf_put(buf, bytes, count);
    return 1;
}

#define EMIT_LITERAL(buf, literal) emit((buf), (literal), sizeof(literal) - 1)

/* One tag written as one reservation, so that it lands whole or not at all. */
static int emit3(wt_buf *buf, const char *a, size_t a_len, const char *b, size_t b_len,
                 const char *c, size_t c_len)
{
    size_t total = a_len + b_len;
    if (total < a_len || total + c_len < total || !wt_buf_reserve(buf, total + c_len))
        return 0;
    wt_buf_put(buf, a, a_len);
    wt_buf_put(buf, b, b_len);
    wt_buf_put(buf, c, c_len);
    return 1;
}

/* `count` copies of a literal, filled by doubling the part already written. */
static int emit_repeated(wt_buf *buf, const char *literal, size_t literal_len, size_t count)
{
    if (count == 0)
        return 1;
    if (count > SIZE_MAX / literal_len || !wt_buf_reserve(buf, count * literal_len))
        return 0;
    size_t total = count * literal_len;
    char *dst = buf->data + buf->len;
    memcpy(dst, literal, literal_len);
    size_t done = literal_len;
    while (done < total) {
        size_t chunk = done < total - done ? done : total - done;
        memcpy(dst + done, dst, chunk);
        done += chunk;
    }
    buf->len += total;
    buf->data[buf->len] = '\0';
    return 1;
}

static int emit_open_indent(wt_buf *buf, size_t indent)
{
    return emit_repeated(buf, "<dl><dd>", 8, indent);
}

static int emit_close_indent(wt_buf *buf, size_t indent)
{
    return emit_repeated(buf, "</dd></dl>", 10, indent);
}

static int emit_cell_close(wt_buf *buf, const wttable_frame *frame, int with_newline)
{
    return emit3(buf, "</", 2, frame->cell_tag, strlen(frame->cell_tag), ">\n",
                 with_newline ? 2 : 1);
}

static const char *skip_space(const char *p, const char *end)
{
    while (p < end && wt_is_space((unsigned char)*p))
        p++;
    return p;
}

static const char *trim_end(const char *start, const char *end)
{
    while (end > start && wt_is_space((unsigned char)end[-1]))
        end--;
    return end;
}

static void set_cell_tag(wttable_frame *frame, const char *tag, size_t len_with_nul)
{
    memcpy(frame->cell_tag, tag, len_with_nul);
}

/* ---- rows, captions and cells ------------------------------------------ */

enum cell_kind { MARKUP_CAPTION, MARKUP_DATA, MARKUP_HEADER };

/* A row line closes the open cell and row; its attributes wait for the next
 * row start tag. */
static int handle_row_line(wttable_frame *frame, const char *rest, const char *end, wt_buf *buf)
{
    /* Any mixture of "|" and "-" continues the marker ("|----", "|-|-"). */
    const char *attrs = rest;
    while (attrs < end && (*attrs == '|' || *attrs == '-'))
        attrs++;
    attrs = skip_space(attrs, end);
    size_t attrs_len = (size_t)(end - attrs);
    if (attrs_len > 0) {
        size_t kept = attrs_len < WTTABLE_ATTR_MAX - 2 ? attrs_len : WTTABLE_ATTR_MAX - 2;
        frame->row_attrs[0] = ' ';
        memcpy(frame->row_attrs + 1, attrs, kept);
        frame->row_attrs[1 + kept] = '\0';
    } else {
        frame->row_attrs[0] = '\0';
    }
    if (frame->cell_open) {
        if (!emit_cell_close(buf, frame, 0))
            return 0;
        frame->cell_open = 0;
        frame->cell_tag[0] = '\0';
    }
    if (frame->row_open) {
        if (!EMIT_LITERAL(buf, "</tr>\n"))
            return 0;
        frame->row_open = 0;
    }
    frame->has_rows = 1;
    return 1;
}

/* Copies a header line's rest into scratch, turning each "!!" (taken from
 * the left) into "||".  A unit that would pass the limit is dropped, but a
 * single byte behind a dropped pair may still take the last place. */
static size_t copy_header_text(char *scratch, const char *rest, size_t n)
{
    const size_t limit = WTTABLE_LINE_MAX - 1;
    size_t len = 0;
    size_t i = 0;
    while (i < n && len < limit) {
        const char *bang = (const char *)memchr(rest + i, '!', n - i);
        size_t run = bang ? (size_t)(bang - (rest + i)) : n - i;
        size_t take = run < limit - len ? run : limit - len;
        memcpy(scratch + len, rest + i, take);
        len += take;
        i += run;
        if (bang == NULL || len == limit)
            break;
        if (i + 1 < n && rest[i + 1] == '!') {
            if (len + 2 <= limit) {
                scratch[len++] = '|';
                scratch[len++] = '|';
            }
            i += 2;
        } else {
            scratch[len++] = '!';
            i += 1;
        }
    }
    return len;
}

static size_t copy_cell_text(char *scratch, const char *rest, size_t n, int kind)
{
    size_t len;
    if (kind == MARKUP_HEADER) {
        len = copy_header_text(scratch, rest, n);
    } else {
        len = n < WTTABLE_LINE_MAX - 1 ? n : WTTABLE_LINE_MAX - 1;
        memcpy(scratch, rest, len);
    }
    scratch[len] = '\0';
    return len;
}

/* Cuts the cell text at each "||"; a final "||" gives no empty last piece and
 * whatever follows the separator behind the last kept piece is dropped. */
static size_t split_pieces(wttable_span *spans, const char *text, size_t len)
{
    size_t count = 0;
    size_t start = 0;
    for (;;) {
        size_t sep = len;
        size_t at = start;
        while (at + 1 < len) {
            const char *bar = (const char *)memchr(text + at, '|', len - at - 1);
            if (bar == NULL)
                break;
            at = (size_t)(bar - text);
            if (text[at + 1] == '|') {
                sep = at;
                break;
            }
            at += 1;
        }
        spans[count].start = text + start;
        spans[count].len = sep - start;
        count++;
        if (sep == len || count == WTTABLE_MAX_CELLS)
            break;
        start = sep + 2;
        if (start == len)
            break;
    }
    return count;
}

/* The first "|" of a piece separates its attributes from its content,
 * unless a "[[" or "-{" lies wholly before it: then it belongs to a link or
 * a language variant and the piece has no attributes.  Returns the index of
 * the separator, or the piece's length when there is none. */
static size_t attribute_separator(const char *piece, size_t len)
{
    const char *bar = (const char *)memchr(piece, '|', len);
    if (bar == NULL)
        return len;
    size_t at = (size_t)(bar - piece);
    for (size_t i = 0; i + 1 < at; i++) {
        if ((piece[i] == '[' && piece[i + 1] == '[') || (piece[i] == '-' && piece[i + 1] == '{'))
            return len;
    }
    return at;
}

/* "<tag attrs>" in one reservation. */
static int emit_start_tag_with_attrs(wt_buf *buf, const char *tag, size_t tag_len,
                                     const char *attrs, size_t attrs_len)
{
    if (tag_len + attrs_len + 3 < attrs_len || !wt_buf_reserve(buf, tag_len + attrs_len + 3))
        return 0;
    wt_buf_put(buf, "<", 1);
    wt_buf_put(buf, tag, tag_len);
    wt_buf_put(buf, " ", 1);
    wt_buf_put(buf, attrs, attrs_len);
    wt_buf_put(buf, ">", 1);
    return 1;
}

static int emit_piece(wt_buf *buf, const char *tag, size_t tag_len, const char *piece, size_t len)
{
    const char *end = piece + len;
    size_t sep = attribute_separator(piece, len);
    const char *content = piece;
    int ok;
    if (sep < len) {
        const char *attrs = skip_space(piece, piece + sep);
        size_t attrs_len = (size_t)(trim_end(attrs, piece + sep) - attrs);
        if (attrs_len > 0)
            ok = emit_start_tag_with_attrs(buf, tag, tag_len, attrs, attrs_len);
        else
            ok = emit3(buf, "<", 1, tag, tag_len, ">", 1);
        content = piece + sep + 1;
    } else {
        ok = emit3(buf, "<", 1, tag, tag_len, ">", 1);
    }
    content = skip_space(content, end);
    return ok && emit(buf, content, (size_t)(trim_end(content, end) - content));
}

static int open_row_if_needed(wttable_frame *frame, wt_buf *buf)
{
    if (frame->row_open)
        return 1;
    if (frame->row_attrs[0] != '\0') {
        if (!emit3(buf, "<tr", 3, frame->row_attrs, strlen(frame->row_attrs), ">\n", 2))
            return 0;
        frame->row_attrs[0] = '\0';
    } else if (!EMIT_LITERAL(buf, "<tr>\n")) {
        return 0;
    }
    frame->row_open = 1;
    frame->has_rows = 1;
    return 1;
}

/* A caption, data or header line; `rest` is the trimmed line behind its
 * marker.  Each piece becomes an element, and the last one stays open. */
static int handle_cell_line(wttable_ctx *ctx, wttable_frame *frame, int kind, const char *rest,
                            const char *end, wt_buf *buf)
{
    size_t len = copy_cell_text(ctx->scratch, rest, (size_t)(end - rest), kind);
    if (len == 0)
        return 1;
    size_t count = split_pieces(ctx->spans, ctx->scratch, len);

    const char *tag = kind == MARKUP_CAPTION ? "caption" : kind == MARKUP_HEADER ? "th" : "td";
    size_t tag_len = strlen(tag);
    for (size_t i = 0; i < count; i++) {
        if (frame->cell_open) {
            if (!emit_cell_close(buf, frame, i == 0))
                return 0;
            frame->cell_open = 0;
        }
        if (kind != MARKUP_CAPTION && !open_row_if_needed(frame, buf))
            return 0;
        set_cell_tag(frame, tag, tag_len + 1);
        frame->cell_open = 1;
        if (!emit_piece(buf, tag, tag_len, ctx->spans[i].start, ctx->spans[i].len))
            return 0;
    }
    return 1;
}

/* ---- lines and nesting -------------------------------------------------- */

/* Colons, then only SPACE or TAB, then "{|", on a trimmed line.  On a match
 * gives the colon count and the first byte behind "{|". */
static int is_table_start(const char *line, const char *end, size_t *colons, const char **after)
{
    const char *p = line;
    while (p < end && *p == ':')
        p++;
    size_t count = (size_t)(p - line);
    while (p < end && (*p == ' ' || *p == '\t'))
        p++;
    if (end - p < 2 || p[0] != '{' || p[1] != '|')
        return 0;
    *colons = count;
    *after = p + 2;
    return 1;
}

static int open_table(wttable_ctx *ctx, size_t colons, const char *attrs, const char *end,
                      wt_buf *buf)
{
    wttable_frame *frame = &ctx->frames[ctx->depth];
    frame->cell_open = 0;
    frame->cell_tag[0] = '\0';
    frame->row_open = 0;
    frame->row_attrs[0] = '\0';
    frame->has_rows = 0;
    frame->indent = colons;
    if (!emit_open_indent(buf, colons))
        return 0;
    attrs = skip_space(attrs, end);
    if (attrs == end) {
        if (!EMIT_LITERAL(buf, "<table>\n"))
            return 0;
    } else if (!emit3(buf, "<table ", 7, attrs, (size_t)(end - attrs), ">\n", 2)) {
        return 0;
    }
    ctx->depth++;
    return 1;
}

/* What every way of ending a table shares: the open cell, the open row and
 * the filler row of a table that never had one. */
static int close_table_body(wttable_frame *frame, wt_buf *buf)
{
    if (frame->cell_open) {
        if (!emit_cell_close(buf, frame, 0))
            return 0;
        frame->cell_open = 0;
    }
    if (frame->row_open) {
        if (!EMIT_LITERAL(buf, "</tr>\n"))
            return 0;
        frame->row_open = 0;
    }
    if (!frame->has_rows && !EMIT_LITERAL(buf, "<tr><td></td></tr>\n"))
        return 0;
    return 1;
}

/* A "|}" line: the trailing text and the indentation share one LF. */
static int end_table(wttable_ctx *ctx, const char *trailing, const char *end, wt_buf *buf)
{
    wttable_frame *frame = &ctx->frames[ctx->depth - 1];
    trailing = skip_space(trailing, end);
    if (!close_table_body(frame, buf))
        return 0;
    if (trailing < end) {
        if (!emit3(buf, "</table> ", 9, trailing, (size_t)(end - trailing), "", 0))
            return 0;
    } else if (!EMIT_LITERAL(buf, "</table>")) {
        return 0;
    }
    if (!emit_close_indent(buf, frame->indent) || !EMIT_LITERAL(buf, "\n"))
        return 0;
    ctx->depth--;
    return 1;
}

/* The end of the text closes what is still open, innermost first. */
static int close_open_tables(wttable_ctx *ctx, wt_buf *buf)
{
    while (ctx->depth > 0) {
        wttable_frame *frame = &ctx->frames[ctx->depth - 1];
        if (!close_table_body(frame, buf) || !EMIT_LITERAL(buf, "</table>\n"))
            return 0;
        if (frame->indent > 0 &&
            (!emit_close_indent(buf, frame->indent) || !EMIT_LITERAL(buf, "\n")))
            return 0;
        ctx->depth--;
    }
    return 1;
}

/* A line inside a table that is no markup: it joins the open cell or
 * caption on a line of its own, or lands between the table's tags. */
static int handle_continuation(const wttable_frame *frame, const char *raw, const char *raw_end,
                               wt_buf *buf)
{
    if (frame->cell_open && !EMIT_LITERAL(buf, "\n"))
        return 0;
    return emit(buf, raw, (size_t)(raw_end - raw));
}

/* A line while at least one table is open; `line`..`end` is trimmed and not
 * empty, and is no table start line. */
static int handle_table_line(wttable_ctx *ctx, const char *raw, const char *raw_end,
                             const char *line, const char *end, wt_buf *buf)
{
    wttable_frame *frame = &ctx->frames[ctx->depth - 1];
    /* A lone "|", "!" or "|+" has no effect at all; a lone "|-" does. */
    if (line[0] == '|') {
        if (end - line == 1)
            return 1;
        switch (line[1]) {
        case '}':
            return end_table(ctx, line + 2, end, buf);
        case '-':
            return handle_row_line(frame, line + 2, end, buf);
        case '+':
            return handle_cell_line(ctx, frame, MARKUP_CAPTION, line + 2, end, buf);
        default:
            return handle_cell_line(ctx, frame, MARKUP_DATA, line + 1, end, buf);
        }
    }
    if (line[0] == '!') {
        if (end - line == 1)
            return 1;
        return handle_cell_line(ctx, frame, MARKUP_HEADER, line + 1, end, buf);
    }
    return handle_continuation(frame, raw, raw_end, buf);
}

static void trim_final_newline(wt_buf *buf)
{
    if (buf->len > 0 && buf->data[buf->len - 1] == '\n') {
        buf->len--;
        buf->data[buf->len] = '\0';
    }
}

int wttable_parse_to_html(const char *text, wt_buf *buf, int tables_only)
{
    if (buf == NULL)
        return 0;
    if (text == NULL)
        return 1;

    wttable_ctx ctx;
    ctx.depth = 0;
    const char *end = text + strlen(text);
    const char *p = text;
    /* In document mode, lines outside tables whose output is their own bytes
     * (LF included) are not written one by one: `copied` marks the start of
     * the pending run, written in one piece before anything else. */
    const char *copied = text;

    while (p < end) {
        const char *lf = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *line_end = lf ? lf : end;
        const char *next = lf ? lf + 1 : end;
        const char *raw_end = (line_end > p && line_end[-1] == '\r') ? line_end - 1 : line_end;
        const char *line = skip_space(p, raw_end);
        const char *line_stop = trim_end(line, raw_end);

        size_t colons = 0;
        const char *after = NULL;
        int starts_table = 0;
        if (line < line_stop && (line[0] == ':' || line[0] == '{'))
            starts_table = is_table_start(line, line_stop, &colons, &after);

        if (ctx.depth == 0 && !starts_table) {
            if (tables_only) {
                p = next;
                copied = next;
                continue;
            }
            /* An empty line, or a line with no CR before its LF, is its own
             * output; a whitespace-only line becomes a bare LF. */
            int verbatim = lf != NULL && (line_end == p || (line < line_stop && raw_end == line_end));
            if (verbatim) {
                p = next;
                continue;
            }
        }

        if (!emit(buf, copied, (size_t)(p - copied)))
            return 0;

        int ok = 1;
        if (starts_table) {
            if (ctx.depth == WTTABLE_MAX_DEPTH)
                return 0;
            ok = open_table(&ctx, colons, after, line_stop, buf);
        } else if (ctx.depth == 0) {
            /* Document mode: a whitespace-only line or a line with a CR. */
            if (line < line_stop)
                ok = emit(buf, p, (size_t)(raw_end - p));
            ok = ok && EMIT_LITERAL(buf, "\n");
        } else if (line == line_stop) {
            if (ctx.frames[ctx.depth - 1].cell_open)
                ok = EMIT_LITERAL(buf, "\n");
        } else {
            ok = handle_table_line(&ctx, p, raw_end, line, line_stop, buf);
        }
        if (!ok)
            return 0;
        p = next;
        copied = next;
    }

    if (!emit(buf, copied, (size_t)(p - copied)) || !close_open_tables(&ctx, buf))
        return 0;
    trim_final_newline(buf);
    return 1;
}

/* ---- detection ---------------------------------------------------------- */

/* Whitespace inside one line: the LF that ends it does not count. */
static int is_line_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

int wttable_detect_has_tables(const char *text)
{
    if (text == NULL)
        return 0;
    const char *p = text;
    while (*p != '\0') {
        while (is_line_space((unsigned char)*p))
            p++;
        while (*p == ':')
            p++;
        while (is_line_space((unsigned char)*p))
            p++;
        if (p[0] == '{' && p[1] == '|')
            return 1;
        p = strchr(p, '\n');
        if (p == NULL)
            return 0;
        p++;
    }
    return 0;
}
