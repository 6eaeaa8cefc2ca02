/* The converter's stage 2 and its entry point.
 *
 * Stage 1 (wt_stage1.h) turns 64-byte blocks of the text into bit masks of
 * the bytes that steer the markup; it, and the byte searches of
 * wt_stage1_scan.h, hold all the instruction-set code.  This file knows the
 * markup and no intrinsics.
 *
 * The byte walk (find_line_plain, handle_table_line and the functions they
 * call) is the reference path: it handles every line, and on the "plain"
 * code path every input goes through it alone.  The window path takes its
 * decisions from stage 1's masks instead, for the cell lines inside tables
 * that a classified window holds.  window_line is its one entry point and
 * the one place that decides: it takes a line whole or declines it, and a
 * declined line goes the byte walk.  The tests compare every code path with
 * the reference converter in tests/.  Both paths read the markup through
 * wt_markup_rules.h. */
#include "wttable_parser.h"

#include <stdint.h>
#include <string.h>

#include "wt_stage1.h"
#include "wt_stage1_scan.h"

/* Every writer below returns 0 when the buffer could not grow.  The first
 * such failure ends the conversion: a result with pieces missing must never
 * pass for a good one. */

static inline int emit(wt_buf *buf, const char *bytes, size_t count)
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
static inline int emit3(wt_buf *buf, const char *a, size_t a_len, const char *b, size_t b_len,
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

/* ---- cell tags ---------------------------------------------------------- */

enum cell_kind { MARKUP_CAPTION, MARKUP_DATA, MARKUP_HEADER };

/* The fixed pieces of each cell element, padded to 16 bytes so that they
 * can be stored with one constant-size copy into reserved room. */
struct cell_tag_text {
    char name[16];
    char open_tags[2][16]; /* "<td>", and "<td " that attributes follow */
    char close[16];        /* "</td>\n" */
    unsigned char open_len, close_len;
};

static constexpr cell_tag_text k_cell_tags[3] = {
    {"caption", {"<caption>", "<caption "}, "</caption>\n", 9, 10},
    {"td", {"<td>", "<td "}, "</td>\n", 4, 5},
    {"th", {"<th>", "<th "}, "</th>\n", 4, 5},
};

/* The kind of the open element, from the tag name the frame holds. */
static inline int cell_kind_of(const wttable_frame *frame)
{
    /* Arithmetic, not branches: cell lines ask this whether or not a cell
     * is open, and the answer follows the text. */
    int not_caption = frame->cell_tag[0] != 'c';
    return not_caption * (MARKUP_DATA + (frame->cell_tag[1] == 'h'));
}

static int emit_cell_close(wt_buf *buf, const wttable_frame *frame, int with_newline)
{
    const cell_tag_text *tag = &k_cell_tags[cell_kind_of(frame)];
    return emit(buf, tag->close, tag->close_len + (with_newline ? 1u : 0u));
}

/* ---- rows, captions and cells ------------------------------------------ */

/* A row line closes the open cell and row; its attributes wait for the next
 * row start tag. */
static int handle_row_line(wttable_frame *frame, const char *rest, const char *end, wt_buf *buf)
{
    /* Any mixture of "|" and "-" continues the marker ("|----", "|-|-"). */
    const char *attrs = rest;
    while (attrs < end && wt_continues_row_marker(*attrs))
        attrs++;
    attrs = wt_skip_space(attrs, end);
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
        const char *bang = wt_find_byte(rest, rest + i, rest + n, '!');
        size_t run = (size_t)(bang - (rest + i));
        size_t take = run < limit - len ? run : limit - len;
        memcpy(scratch + len, rest + i, take);
        len += take;
        i += run;
        if (i == n || len == limit)
            break;
        if (wt_is_bang_pair(rest, i, n)) {
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

/* `text_end` bounds what may be read behind the rest: most cell texts are
 * short and go as one fixed-size copy. */
static size_t copy_cell_text(char *scratch, const char *rest, size_t n, int kind,
                             const char *text_end)
{
    size_t len;
    if (kind == MARKUP_HEADER) {
        len = copy_header_text(scratch, rest, n);
    } else if (n <= 64 && text_end - rest >= 64) {
        len = n;
        memcpy(scratch, rest, 64);
    } else {
        len = n < WTTABLE_LINE_MAX - 1 ? n : WTTABLE_LINE_MAX - 1;
        memcpy(scratch, rest, len);
    }
    scratch[len] = '\0';
    return len;
}

/* Cuts the cell text at each "||"; a final "||" gives no empty last piece and
 * whatever follows the separator behind the last kept piece is dropped.
 * Each bar is looked at once: `first_bars` receives the offset of each
 * piece's first single "|" (its length when there is none), the candidate
 * for its attribute separator. */
static size_t split_pieces(wttable_span *spans, size_t *first_bars, const char *text, size_t len)
{
    const char *end = text + len;
    const char *start = text;
    const char *first_bar = NULL;
    const char *p = text;
    size_t count = 0;
    for (;;) {
        const char *bar = wt_find_byte(text, p, end, '|');
        if (bar + 1 < end && bar[1] == '|') {
            spans[count].start = start;
            spans[count].len = (size_t)(bar - start);
            first_bars[count] = first_bar ? (size_t)(first_bar - start) : (size_t)(bar - start);
            count++;
            start = bar + 2;
            if (start == end || count == WTTABLE_MAX_CELLS)
                return count;
            first_bar = NULL;
            p = start;
        } else if (bar < end) {
            if (first_bar == NULL)
                first_bar = bar;
            p = bar + 1;
        } else {
            spans[count].start = start;
            spans[count].len = (size_t)(end - start);
            first_bars[count] = first_bar ? (size_t)(first_bar - start) : (size_t)(end - start);
            return count + 1;
        }
    }
}

/* Room that one cell line may need beyond its cell text: per piece a close
 * and a start tag, one row start tag with attributes, and the slack of the
 * fixed-size stores (16 bytes for a tag, 64 for a run of text). */
#define CELL_PIECE_ROOM 32
#define CELL_LINE_ROOM (WTTABLE_ATTR_MAX + 128)
#define TAG_STORE 16
#define RUN_STORE 64

constexpr size_t longest_piece_tags()
{
    size_t most = 0;
    for (const cell_tag_text &tag : k_cell_tags) {
        size_t n = tag.close_len + tag.open_len + 1u; /* "</td>" "<td " ">" */
        most = n > most ? n : most;
    }
    return most;
}

constexpr size_t longest_close()
{
    size_t most = 0;
    for (const cell_tag_text &tag : k_cell_tags)
        most = tag.close_len + 1u > most ? tag.close_len + 1u : most;
    return most;
}

static_assert(longest_close() <= TAG_STORE && sizeof k_cell_tags[0].open_tags[0] == TAG_STORE,
              "a tag is stored as one fixed-size copy");
static_assert(CELL_PIECE_ROOM >= longest_piece_tags(), "room for each piece's tags");
static_assert(CELL_LINE_ROOM >= TAG_STORE + sizeof "<tr" + WTTABLE_ATTR_MAX + sizeof ">\n" +
                                    RUN_STORE + 1,
              "room for the open cell's close, the row start tag, the last store and the NUL");
static_assert(WTTABLE_INDEX_BLOCKS * 64 < WTTABLE_LINE_MAX,
              "a line in the window is shorter than the cell text limit, so never cut");

static inline char *put_literal(char *out, const char (&literal)[TAG_STORE], size_t len)
{
    memcpy(out, literal, TAG_STORE);
    return out + len;
}

static inline char *put_bytes(char *out, const char *bytes, size_t len)
{
    memcpy(out, bytes, len);
    return out + len;
}

/* Copies a run of cell text from the scratch area or the text; `limit`
 * ends what may be read.  Runs of up to 64 bytes, most of them, go as one
 * fixed-size copy, which needs no call and no branch on the length: the
 * bytes stored beyond the run fall in reserved room and are overwritten or
 * cut off by the NUL. */
static inline char *put_run(char *out, const char *bytes, size_t len, const char *limit)
{
    if (len <= RUN_STORE && limit - bytes >= RUN_STORE)
        memcpy(out, bytes, RUN_STORE);
    else
        memcpy(out, bytes, len);
    return out + len;
}

/* Start tag and content of one piece.  The first "|" of a piece separates
 * its attributes from its content, unless a "[[" or "-{" lies wholly before
 * it: then it belongs to a link or a language variant and the piece has no
 * attributes.  Attributes and content are trimmed. */
static char *put_piece(char *out, const cell_tag_text *tag, const wttable_span *piece,
                       size_t first_bar, const char *low, const char *scratch_end)
{
    const char *start = piece->start;
    const char *end = start + piece->len;
    const char *content = start;
    if (first_bar < piece->len && !wt_has_guard_pair(low, start, first_bar)) {
        const char *attrs = wt_skip_space(start, start + first_bar);
        const char *attrs_end = wt_trim_end(attrs, start + first_bar);
        if (attrs < attrs_end) {
            out = put_literal(out, tag->open_tags[1], tag->open_len);
            out = put_run(out, attrs, (size_t)(attrs_end - attrs), scratch_end);
            *out++ = '>';
        } else {
            out = put_literal(out, tag->open_tags[0], tag->open_len);
        }
        content = start + first_bar + 1;
    } else {
        out = put_literal(out, tag->open_tags[0], tag->open_len);
    }
    content = wt_skip_space(content, end);
    return put_run(out, content, (size_t)(wt_trim_end(content, end) - content), scratch_end);
}

/* ---- the classified window ---------------------------------------------- */

/* Bits of a classified window: position `at` of the window is bit at + 64
 * of the array, the first word being the zero word in front. */
static inline uint64_t window_bits(const uint64_t *words, size_t bit)
{
    size_t k = bit >> 6;
    unsigned shift = (unsigned)(bit & 63);
#if defined(__SIZEOF_INT128__)
    /* Two words as one: a double shift (shrd on x86-64). */
    __extension__ typedef unsigned __int128 word_pair;
    word_pair pair = (word_pair)words[k + 1] << 64 | words[k];
    return (uint64_t)(pair >> shift);
#else
    /* (w << 1) << (63 - shift) is w << (64 - shift) without the undefined
     * shift by 64 when `shift` is 0. */
    return (words[k] >> shift) | ((words[k + 1] << 1) << (63 - shift));
#endif
}

/* Positions at .. at + 63, as bits 0 .. 63. */
static inline uint64_t mask_at(const uint64_t *words, size_t at)
{
    return window_bits(words, at + 64);
}

/* Positions at - 64 .. at - 1, as bits 0 .. 63. */
static inline uint64_t mask_before(const uint64_t *words, size_t at)
{
    return window_bits(words, at);
}

/* The bits of positions at .. at + 56 as bits 0 .. 56, with one unaligned
 * load: the hot paths decide lines and pieces that fit in these 57 bits.
 * Bits above may be missing and read as 0.  The words are stored little-
 * endian, so byte j of a row holds positions 8j .. 8j + 7. */
#define QUICK_BITS 57
static inline uint64_t quick_mask_at(const uint64_t *words, size_t at)
{
    size_t bit = at + 64;
    uint64_t word;
    memcpy(&word, (const unsigned char *)words + (bit >> 3), sizeof word);
    return word >> (bit & 7);
}

/* The first position i in [from, limit) where bits i and i + `also` of
 * `words`, each XOR-ed with `flip`, are both set; else limit.  The three
 * searches below are its cases. */
static inline size_t next_match(const uint64_t *words, uint64_t flip, size_t also, size_t from,
                                size_t limit)
{
    for (;;) {
        uint64_t mask = (mask_at(words, from) ^ flip) & (mask_at(words, from + also) ^ flip);
        if (mask != 0) {
            size_t at = from + (size_t)__builtin_ctzll(mask);
            return at < limit ? at : limit;
        }
        if (limit - from <= 64)
            return limit;
        from += 64;
    }
}

/* The first position in [from, limit) whose bit is set, else limit. */
static inline size_t next_set(const uint64_t *words, size_t from, size_t limit)
{
    return next_match(words, 0, 0, from, limit);
}

/* The first position in [from, limit) whose bit is clear, else limit. */
static inline size_t next_clear(const uint64_t *words, size_t from, size_t limit)
{
    return next_match(words, ~(uint64_t)0, 0, from, limit);
}

/* [start, end) without its trailing positions whose bit is set: the
 * position behind the last clear one, else start. */
static inline size_t trim_set(const uint64_t *words, size_t start, size_t end)
{
    for (;;) {
        uint64_t mask = ~mask_before(words, end);
        if (mask != 0) {
            size_t at = end - (size_t)__builtin_clzll(mask);
            return at > start ? at : start;
        }
        if (end - start <= 64)
            return start;
        end -= 64;
    }
}

/* The first i in [from, limit) where i and i + 1 are both "|", else limit. */
static inline size_t next_bar_pair(const uint64_t *bar, size_t from, size_t limit)
{
    return next_match(bar, 0, 1, from, limit);
}

/* A header line turns each "!!" into "||" before it is split.  Where a
 * line has no "!!!", each "!!" is a run of exactly two, which words of bit
 * operations find: the bars of the changed line are the bars and both
 * bytes of each such run.  Runs that cross the window's edges cannot lie
 * inside a line whose LF is in the window.  Made for a window at its first
 * header line: many windows have none. */
static void index_header_bars(wttable_index *ix)
{
    const uint64_t *bang = ix->bang + 1;
    uint64_t before = 0;  /* the word in front */
    uint64_t carried = 0; /* the first bytes of the pairs in the word in front */
    for (size_t k = 0; k < ix->blocks; k++) {
        uint64_t b = bang[k];
        uint64_t next_is_bang = (b >> 1) | (bang[k + 1] << 63);
        uint64_t second_next_is_bang = (b >> 2) | (bang[k + 1] << 62);
        uint64_t prev_is_bang = (b << 1) | (before >> 63);
        uint64_t pair_first = b & next_is_bang & ~prev_is_bang & ~second_next_is_bang;
        ix->header_bar[k + 1] = ix->bar[k + 1] | pair_first | (pair_first << 1) | (carried >> 63);
        ix->bang_runs[k + 1] = b & next_is_bang & second_next_is_bang;
        before = b;
        carried = pair_first;
    }
    ix->header_bar[0] = ix->bang_runs[0] = 0;
    for (size_t k = ix->blocks + 1; k < WTTABLE_INDEX_WORDS; k++)
        ix->header_bar[k] = ix->bang_runs[k] = 0;
    ix->headers_ready = 1;
}

/* Classifies the window that starts at the 64-byte block holding p: up to
 * WTTABLE_INDEX_BLOCKS blocks, never a byte past the text's NUL (a last,
 * short block is classified from a copy). */
static void index_window(wttable_index *ix, int path, const char *text,
                         const char *end, const char *p)
{
    const char *base = text + ((size_t)(p - text) & ~(size_t)63);
    size_t room = (size_t)(end - base);
    size_t len = room < WTTABLE_INDEX_BLOCKS * 64 ? room : WTTABLE_INDEX_BLOCKS * 64;
    size_t full = len / 64;
    ix->base = base;
    ix->len = len;
    ix->at_text_end = len == room;

    const wt_mask_rows rows = {ix->line_feed + 1, ix->bar + 1, ix->space + 1, ix->guard + 1,
                               ix->bang + 1};
    /* Full blocks end at the NUL at most, which is all the classifier reads
     * behind them. */
    wt_classify_blocks(path, base, full, &rows);
    size_t blocks = full;
    if (len > 64 * full) {
        char tail[65];
        memset(tail, 0, sizeof tail);
        memcpy(tail, base + 64 * full, len - 64 * full);
        const wt_mask_rows tail_rows = {rows.line_feed + full, rows.bar + full,
                                        rows.space + full, rows.guard + full, rows.bang + full};
        wt_classify_blocks(path, tail, 1, &tail_rows);
        blocks++;
    }
    ix->blocks = blocks;
    ix->headers_ready = 0;
    ix->line_feed[0] = ix->bar[0] = ix->space[0] = ix->guard[0] = ix->bang[0] = 0;
    for (size_t k = blocks + 1; k < WTTABLE_INDEX_WORDS; k++)
        ix->line_feed[k] = ix->bar[k] = ix->space[k] = ix->guard[k] = ix->bang[k] = 0;
}

/* ---- cells through the window ------------------------------------------- */

/* Bits 0 .. n - 1. */
static inline uint64_t low_bits(size_t n)
{
    /* 64 gives (0 << 0) - 1: all bits, without a branch. */
    return ((uint64_t)(n < 64) << (n & 63)) - 1;
}

/* put_piece for a piece of at most QUICK_BITS bytes, from the masks of the
 * positions at its start: every decision is a bit operation on them. */
static char *put_short_piece(char *out, const cell_tag_text *tag, const char *piece, size_t n,
                             uint64_t bar, uint64_t space, uint64_t guard, const char *text_end)
{
    uint64_t inside = low_bits(n);
    uint64_t solid = ~space & inside; /* the bytes that are no whitespace */
    uint64_t bars = bar & inside;
    if (bars == 0) {
        /* Most pieces: no bar, content only. */
        memcpy(out, tag->open_tags[0], 16);
        out += tag->open_len;
        if (solid == 0)
            return out;
        size_t first = (size_t)__builtin_ctzll(solid);
        size_t last = 64 - (size_t)__builtin_clzll(solid);
        return put_run(out, piece + first, last - first, text_end);
    }
    uint64_t before = (bars - 1) & ~bars; /* the positions before the first bar */
    /* The first bar separates attributes, unless a guard pair lies wholly
     * before it: a pair starting at i ends before the bar when i + 1 does.
     * Whether a cell has attributes follows no pattern a predictor could
     * learn (in the benchmark's generated cells a quarter have them, at
     * random), so the choice is made with masks and selects, not branches.
     * "<td " and "<td>" have the same length. */
    uint64_t separated = (uint64_t)0 - (uint64_t)((bars != 0) & ((guard & (before >> 1)) == 0));
    uint64_t attrs = solid & before & separated;
    uint64_t with_attrs = (uint64_t)0 - (uint64_t)(attrs != 0);
    size_t attrs_first = (size_t)__builtin_ctzll(attrs | (uint64_t)1 << 63);
    size_t attrs_last = 64 - (size_t)__builtin_clzll(attrs | 1);
    memcpy(out, tag->open_tags[attrs != 0], 16);
    out += tag->open_len;
    out = put_run(out, piece + attrs_first, (attrs_last - attrs_first) & with_attrs, text_end);
    *out = '>';
    out += with_attrs & 1;
    solid &= ~((before << 1 | 1) & separated); /* the content starts behind the bar */
    if (solid == 0)
        return out;
    size_t first = (size_t)__builtin_ctzll(solid);
    size_t last = 64 - (size_t)__builtin_clzll(solid);
    return put_run(out, piece + first, last - first, text_end);
}

/* The same for a longer piece [start, end) of the window, searching the
 * masks beyond the first 64 positions. */
static char *put_long_piece(char *out, const cell_tag_text *tag, const wttable_index *ix,
                            const uint64_t *bars, size_t start, size_t end, const char *text_end)
{
    size_t bar = next_set(bars, start, end);
    size_t content = start;
    if (bar < end &&
        (bar - start < 2 || next_set(ix->guard, start, bar - 1) == bar - 1)) {
        size_t attrs = next_clear(ix->space, start, bar);
        size_t attrs_end = trim_set(ix->space, attrs, bar);
        if (attrs < attrs_end) {
            out = put_literal(out, tag->open_tags[1], tag->open_len);
            out = put_run(out, ix->base + attrs, attrs_end - attrs, text_end);
            *out++ = '>';
        } else {
            out = put_literal(out, tag->open_tags[0], tag->open_len);
        }
        content = bar + 1;
    } else {
        out = put_literal(out, tag->open_tags[0], tag->open_len);
    }
    content = next_clear(ix->space, content, end);
    size_t content_end = trim_set(ix->space, content, end);
    return put_run(out, ix->base + content, content_end - content, text_end);
}

/* The pieces of a data or caption line inside the window, [from, stop),
 * written straight from the text: a piece ends at the first "||" at or
 * behind its start, which pairs the bars from the left as split_pieces
 * does.  Returns the new output end. */
static char *put_pieces_indexed(char *out, const cell_tag_text *tag, const wttable_index *ix,
                                const uint64_t *bars, size_t from, size_t stop,
                                const char *text_end)
{
    size_t count = 0;
    for (;;) {
        uint64_t bar = quick_mask_at(bars, from);
        /* "||" starts where a bar follows a bar; a pair must lie within the
         * quick bits to be seen, else a search goes on. */
        uint64_t pairs = bar & (bar >> 1) & low_bits(stop - from - 1) & low_bits(QUICK_BITS - 1);
        size_t end;
        if (pairs != 0)
            end = from + (size_t)__builtin_ctzll(pairs);
        else if (stop - from <= QUICK_BITS)
            end = stop;
        else
            end = next_bar_pair(bars, from, stop - 1);
        if (end == stop - 1)
            end = stop; /* no pair before the line's end */
        if (count > 0)
            out = put_literal(out, tag->close, tag->close_len);
        if (end - from <= QUICK_BITS)
            out = put_short_piece(out, tag, ix->base + from, end - from, bar,
                                  quick_mask_at(ix->space, from), quick_mask_at(ix->guard, from),
                                  text_end);
        else
            out = put_long_piece(out, tag, ix, bars, from, end, text_end);
        count++;
        if (end == stop)
            return out;
        from = end + 2;
        if (from == stop || count == WTTABLE_MAX_CELLS)
            return out;
    }
}

/* Rows open lazily, at the first data or header piece, with the attributes
 * that the last row line left; those serve this one row. */
static char *put_row_start(char *out, wttable_frame *frame)
{
    if (frame->row_attrs[0] != '\0') {
        out = put_bytes(out, "<tr", 3);
        out = put_bytes(out, frame->row_attrs, strlen(frame->row_attrs));
        out = put_bytes(out, ">\n", 2);
        frame->row_attrs[0] = '\0';
    } else {
        out = put_bytes(out, "<tr>\n", 5);
    }
    frame->row_open = 1;
    frame->has_rows = 1;
    return out;
}

/* What a cell line writes before its first piece: the end of what an
 * earlier line left open, with an LF, and the row's start tag. */
static char *start_cell_line(char *out, wttable_frame *frame, int kind)
{
    /* Stored either way and kept only when a cell was open: whether one
     * was is hard to predict, and the room is there. */
    const cell_tag_text *open = &k_cell_tags[cell_kind_of(frame)];
    memcpy(out, open->close, 16);
    out += (open->close_len + 1u) * (unsigned)frame->cell_open;
    if (kind != MARKUP_CAPTION && !frame->row_open)
        out = put_row_start(out, frame);
    memcpy(frame->cell_tag, k_cell_tags[kind].name, 8); /* the longest name and its NUL */
    frame->cell_open = 1;
    return out;
}

/* A caption, data or header line; `rest` is the trimmed line behind its
 * marker.  Each piece becomes an element, and the last one stays open.  The
 * line's output is bounded by its cell text, so room for all of it is made
 * once and the elements are stored without further checks. */
static int handle_cell_line(wttable_ctx *ctx, wttable_frame *frame, int kind, const char *rest,
                            const char *end, const char *text_end, wt_buf *buf)
{
    size_t len = copy_cell_text(ctx->scratch, rest, (size_t)(end - rest), kind, text_end);
    if (len == 0)
        return 1;
    size_t first_bars[WTTABLE_MAX_CELLS];
    size_t count = split_pieces(ctx->spans, first_bars, ctx->scratch, len);
    const char *scratch_end = ctx->scratch + WTTABLE_LINE_MAX;
    if (!wt_buf_reserve(buf, len + count * CELL_PIECE_ROOM + CELL_LINE_ROOM))
        return 0;

    const cell_tag_text *tag = &k_cell_tags[kind];
    char *out = start_cell_line(buf->data + buf->len, frame, kind);
    out = put_piece(out, tag, &ctx->spans[0], first_bars[0], ctx->scratch, scratch_end);
    /* Later pieces close their neighbour on the same output line. */
    for (size_t i = 1; i < count; i++) {
        out = put_literal(out, tag->close, tag->close_len);
        out = put_piece(out, tag, &ctx->spans[i], first_bars[i], ctx->scratch, scratch_end);
    }
    buf->len = (size_t)(out - buf->data);
    buf->data[buf->len] = '\0';
    return 1;
}

/* handle_cell_line for a data or caption line that lies in the classified
 * window: its cell text is the text itself (a window is far shorter than
 * the limit of a line's cell text), split and trimmed from the masks.  The
 * room made is bounded without counting the pieces first: each "||" takes
 * two bytes of the text. */
static int handle_cell_line_indexed(const wttable_index *ix, wttable_frame *frame, int kind,
                                    const char *rest, const char *end, const char *text_end,
                                    wt_buf *buf)
{
    size_t len = (size_t)(end - rest);
    if (len == 0)
        return 1;
    size_t most_pieces = len / 2 + 1 < WTTABLE_MAX_CELLS ? len / 2 + 1 : WTTABLE_MAX_CELLS;
    if (!wt_buf_reserve(buf, len + most_pieces * CELL_PIECE_ROOM + CELL_LINE_ROOM))
        return 0;
    char *out = start_cell_line(buf->data + buf->len, frame, kind);
    /* A header line's bars include each "!!", which became "||". */
    const uint64_t *bars = kind == MARKUP_HEADER ? ix->header_bar : ix->bar;
    out = put_pieces_indexed(out, &k_cell_tags[kind], ix, bars, (size_t)(rest - ix->base),
                             (size_t)(end - ix->base), text_end);
    buf->len = (size_t)(out - buf->data);
    buf->data[buf->len] = '\0';
    return 1;
}

/* ---- lines and nesting -------------------------------------------------- */

static int open_table(wttable_ctx *ctx, size_t colons, const char *attrs, const char *end,
                      wt_buf *buf)
{
    wttable_frame *frame = &ctx->frames[ctx->depth];
    frame->cell_open = 0;
    memset(frame->cell_tag, 0, sizeof frame->cell_tag);
    frame->row_open = 0;
    frame->row_attrs[0] = '\0';
    frame->has_rows = 0;
    frame->indent = colons;
    if (!emit_open_indent(buf, colons))
        return 0;
    attrs = wt_skip_space(attrs, end);
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
static constexpr char k_row_end[TAG_STORE] = "</tr>\n";
static constexpr char k_filler_row[32] = "<tr><td></td></tr>\n";
#define TABLE_END_ROOM 80
static_assert(TABLE_END_ROOM >= longest_close() + sizeof "</tr>\n" + sizeof k_filler_row,
              "room for the three stores of a table's end");

static int close_table_body(wttable_frame *frame, wt_buf *buf)
{
    /* One reservation and fixed-size stores, each kept or not by its flag:
     * table ends are frequent in nested markup, and their flags follow the
     * text. */
    if (!wt_buf_reserve(buf, TABLE_END_ROOM))
        return 0;
    char *out = buf->data + buf->len;
    const cell_tag_text *cell = &k_cell_tags[cell_kind_of(frame)];
    memcpy(out, cell->close, TAG_STORE);
    out += cell->close_len * (unsigned)frame->cell_open;
    memcpy(out, k_row_end, TAG_STORE);
    out += 6u * (unsigned)frame->row_open;
    memcpy(out, k_filler_row, 32);
    out += 19u * (unsigned)(frame->has_rows == 0);
    frame->cell_open = 0;
    frame->row_open = 0;
    buf->len = (size_t)(out - buf->data);
    buf->data[buf->len] = '\0';
    return 1;
}

/* A "|}" line: the trailing text and the indentation share one LF. */
static int end_table(wttable_ctx *ctx, const char *trailing, const char *end, wt_buf *buf)
{
    wttable_frame *frame = &ctx->frames[ctx->depth - 1];
    trailing = wt_skip_space(trailing, end);
    if (!close_table_body(frame, buf))
        return 0;
    if (trailing == end && frame->indent == 0) {
        if (!EMIT_LITERAL(buf, "</table>\n"))
            return 0;
        ctx->depth--;
        return 1;
    }
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
                             const char *line, const char *end, const char *text_end,
                             wt_buf *buf)
{
    wttable_frame *frame = &ctx->frames[ctx->depth - 1];
    enum wt_marker marker = wt_marker_of(line, (size_t)(end - line));
    const char *rest = line + wt_marker_len(marker);
    switch (marker) {
    case WT_MARK_NONE:
        return handle_continuation(frame, raw, raw_end, buf);
    case WT_MARK_ALONE:
        return 1;
    case WT_MARK_TABLE_END:
        return end_table(ctx, rest, end, buf);
    case WT_MARK_ROW:
        return handle_row_line(frame, rest, end, buf);
    case WT_MARK_CAPTION:
        return handle_cell_line(ctx, frame, MARKUP_CAPTION, rest, end, text_end, buf);
    case WT_MARK_DATA:
        return handle_cell_line(ctx, frame, MARKUP_DATA, rest, end, text_end, buf);
    case WT_MARK_HEADER:
        return handle_cell_line(ctx, frame, MARKUP_HEADER, rest, end, text_end, buf);
    }
    return 1;
}

static void trim_final_newline(wt_buf *buf)
{
    if (buf->len > 0 && buf->data[buf->len - 1] == '\n') {
        buf->len--;
        buf->data[buf->len] = '\0';
    }
}

/* One line of the text: [start, line_end) up to its LF or the text's end. */
struct text_line {
    const char *line_end; /* its LF, or the end of the text */
    const char *raw_end;  /* line_end, or the CR before it */
    const char *trimmed;  /* the first byte that is no whitespace, or raw_end */
    const char *stop;     /* behind the last byte that is no whitespace */
};

static void find_line_plain(const char *text, const char *p, const char *end, text_line *ln)
{
    ln->line_end = wt_find_byte(text, p, end, '\n');
    ln->raw_end = (ln->line_end > p && ln->line_end[-1] == '\r') ? ln->line_end - 1 : ln->line_end;
    ln->trimmed = wt_skip_space(p, ln->raw_end);
    ln->stop = wt_trim_end(ln->trimmed, ln->raw_end);
}

/* The line at p from the masks of the positions from p on, when its LF is
 * among them. */
static inline void line_from_masks(const char *p, uint64_t feeds, uint64_t space, text_line *ln)
{
    size_t n = (size_t)__builtin_ctzll(feeds);
    size_t raw_n = n > 0 && p[n - 1] == '\r' ? n - 1 : n;
    uint64_t solid = ~space & low_bits(raw_n);
    ln->line_end = p + n;
    ln->raw_end = p + raw_n;
    ln->trimmed = solid != 0 ? p + __builtin_ctzll(solid) : ln->raw_end;
    ln->stop = solid != 0 ? p + 64 - __builtin_clzll(solid) : ln->raw_end;
}

/* The same from the classified window, which is moved on when the line
 * leaves it.  Returns 1 when the window holds the whole line, else 0: no
 * window can. */
static int find_line_indexed(wttable_index *ix, int path, const char *text,
                             const char *p, const char *end, text_line *ln)
{
    if ((size_t)(p - ix->base) >= ix->len)
        index_window(ix, path, text, end, p);
    size_t from = (size_t)(p - ix->base);
    /* Most lines inside tables are short: one word of each mask decides
     * all, from the quick read or else from the full 64 bits. */
    uint64_t feeds = quick_mask_at(ix->line_feed, from) & low_bits(QUICK_BITS);
    if (feeds != 0) {
        line_from_masks(p, feeds, quick_mask_at(ix->space, from), ln);
        return 1;
    }
    feeds = mask_at(ix->line_feed, from);
    if (feeds != 0) {
        line_from_masks(p, feeds, mask_at(ix->space, from), ln);
        return 1;
    }
    /* Longer lines: the byte scans find their ends faster than a walk
     * over mask words.  The window must hold the whole line. */
    find_line_plain(text, p, end, ln);
    if ((size_t)(ln->line_end - ix->base) < ix->len || ix->at_text_end)
        return 1;
    if (from < 64 || (size_t)(ln->line_end - p) >= WTTABLE_INDEX_BLOCKS * 64 - 64)
        return 0; /* no window can hold it */
    index_window(ix, path, text, end, p);
    return 1;
}

enum window_outcome { WINDOW_DECLINED, WINDOW_DONE, WINDOW_FAILED };

/* The window path's entry point, and the one place that decides whether a
 * line takes it.  For a line inside a table that begins with "|" or "!":
 * it is trimmed at its start and cannot start a table.  The line is taken
 * whole unless no window can hold it, or it is a header line where "!!!"
 * makes the pairing of bangs depend on where a run starts: then it is
 * declined and goes the byte walk.  Either way *found is the line. */
static enum window_outcome window_line(wttable_ctx *ctx, int path, const char *text,
                                       const char *p, const char *end, wt_buf *buf,
                                       text_line *found)
{
    wttable_index *ix = &ctx->index;
    text_line ln;
    int held = find_line_indexed(ix, path, text, p, end, &ln);
    *found = ln;
    if (!held)
        return WINDOW_DECLINED;
    const char *line = ln.trimmed;
    const char *stop = ln.stop;
    enum wt_marker marker = wt_marker_of(line, (size_t)(stop - line));
    const char *rest = line + wt_marker_len(marker);
    int kind;
    if (marker == WT_MARK_DATA) {
        kind = MARKUP_DATA;
    } else if (marker == WT_MARK_CAPTION) {
        kind = MARKUP_CAPTION;
    } else if (marker == WT_MARK_HEADER) {
        if (!ix->headers_ready)
            index_header_bars(ix);
        if (rest[0] == '!' ||
            next_set(ix->bang_runs, (size_t)(rest - ix->base), (size_t)(stop - ix->base)) !=
                (size_t)(stop - ix->base))
            return WINDOW_DECLINED;
        kind = MARKUP_HEADER;
    } else {
        kind = -1; /* a row or end line: the same on either path */
    }
    int ok = kind < 0 ? handle_table_line(ctx, p, ln.raw_end, line, stop, end, buf)
                      : handle_cell_line_indexed(ix, &ctx->frames[ctx->depth - 1], kind, rest,
                                                 stop, end, buf);
    return ok ? WINDOW_DONE : WINDOW_FAILED;
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
    /* The plain path walks the bytes themselves: classifying a byte at a
     * time costs more than it saves. */
    int path = wttable_code_path();
    int indexed = path != WTTABLE_PATH_PLAIN;
    ctx.index.base = text;
    ctx.index.len = 0;
    const char *p = text;
    /* In document mode, lines outside tables whose output is their own bytes
     * (LF included) are not written one by one: `copied` marks the start of
     * the pending run, written in one piece before anything else. */
    const char *copied = text;

    while (p < end) {
        /* Inside tables lines are short and full of markup: the classified
         * window pays.  Outside, only the LF matters and memchr is faster.
         * Only cell lines use the window, and only they may move it: long
         * runs of plain lines inside a cell are found faster by memchr.  At
         * that depth nothing is pending, so `copied` is p. */
        text_line ln;
        if (ctx.depth > 0 && indexed && (*p == '|' || *p == '!')) {
            /* A copy of its own, so that `ln` stays in registers. */
            text_line found;
            enum window_outcome taken = window_line(&ctx, path, text, p, end, buf, &found);
            if (taken == WINDOW_FAILED)
                return 0;
            if (taken == WINDOW_DONE) {
                p = found.line_end + (found.line_end < end);
                copied = p;
                continue;
            }
            ln = found;
        } else {
            find_line_plain(text, p, end, &ln);
        }
        int has_lf = ln.line_end < end;
        const char *next = ln.line_end + has_lf;
        const char *line = ln.trimmed;
        const char *line_stop = ln.stop;
        const char *raw_end = ln.raw_end;

        size_t colons = 0;
        const char *after = NULL;
        int starts_table = 0;
        if (line < line_stop && (line[0] == ':' || line[0] == '{'))
            starts_table = wt_table_start(line, line_stop, &colons, &after);

        if (ctx.depth == 0 && !starts_table) {
            if (tables_only) {
                p = next;
                copied = next;
                continue;
            }
            /* An empty line, or a line with no CR before its LF, is its own
             * output; a whitespace-only line becomes a bare LF. */
            int verbatim =
                has_lf && (ln.line_end == p || (line < line_stop && raw_end == ln.line_end));
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
            ok = handle_table_line(&ctx, p, raw_end, line, line_stop, end, buf);
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
