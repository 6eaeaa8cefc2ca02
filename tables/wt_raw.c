#define _GNU_SOURCE

#include "wt_raw.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "wt_markup.h"

/* The scans below look at 16 bytes at a time where the target has SSE2
 * without asking (every x86-64, unless built without SIMD code), else at
 * one byte at a time. */
#if defined(__SSE2__) && !defined(WTTABLE_NO_SIMD)
#include <emmintrin.h>
#define RAW_SIMD 1

static inline __m128i load16(const char *p)
{
    return _mm_loadu_si128((const __m128i *)(const void *)p);
}

static inline unsigned eq16(__m128i v, char c)
{
    return (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
}

/* 0xFF where a byte is below 32 and not whitespace (TAB to CR). */
static inline __m128i control16(const char *p)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i v = load16(p);
    __m128i below_32 = _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(0x1F)), zero);
    __m128i space =
        _mm_cmpeq_epi8(_mm_subs_epu8(_mm_sub_epi8(v, _mm_set1_epi8(0x09)), _mm_set1_epi8(4)), zero);
    return _mm_andnot_si128(space, below_32);
}
#endif

void wt_raw_init(struct wt_raw *raw)
{
    memset(raw, 0, sizeof *raw);
}

void wt_raw_free(struct wt_raw *raw)
{
    free(raw->text);
    free(raw->work);
    free(raw->out);
    free(raw->gaps);
    free(raw->stack);
    free(raw->ranges);
    wt_raw_init(raw);
}

/* Grows *block to hold `count` items of `size` bytes. */
static int reserve(void *block, size_t *cap, size_t count, size_t size)
{
    if (count <= *cap)
        return 1;
    size_t want = *cap < 16 ? 16 : *cap;
    while (want < count)
        want = want > (size_t)-1 / 2 ? count : want * 2;
    if (want > (size_t)-1 / size)
        return 0;
    void *bigger = realloc(*(void **)block, want * size);
    if (bigger == NULL)
        return 0;
    *(void **)block = bigger;
    *cap = want;
    return 1;
}

static size_t count_lfs(const char *p, size_t n)
{
    size_t count = 0;
    const char *end = p + n;
#if defined(RAW_SIMD)
    /* Each LF adds one to its lane (a compare gives -1), a lane's sum
     * taken before it can pass 255. */
    const __m128i zero = _mm_setzero_si128(), lf = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        __m128i lanes = zero;
        for (int k = 0; k < 255 && end - p >= 16; k++, p += 16)
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(load16(p), lf));
        __m128i sums = _mm_sad_epu8(lanes, zero);
        count += (size_t)_mm_cvtsi128_si32(sums) + (size_t)_mm_extract_epi16(sums, 4);
    }
#endif
    while ((p = memchr(p, '\n', (size_t)(end - p))) != NULL) {
        count++;
        p++;
    }
    return count;
}

static const char *const k_protecting[] = {"nowiki", "pre", "math", "syntaxhighlight", "source"};
enum { PROTECTING_COUNT = sizeof k_protecting / sizeof k_protecting[0] };

static int is_ws(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

static int lower(char c)
{
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

static int name_at(const char *p, const char *end, const char *name)
{
    size_t n = strlen(name);
    if ((size_t)(end - p) < n)
        return 0;
    for (size_t i = 0; i < n; i++)
        if (lower(p[i]) != name[i])
            return 0;
    return 1;
}

/* Which protecting element's start tag (its name, then whitespace, ">" or
 * "/") follows the "<" before p, or PROTECTING_COUNT. */
static int protecting_at(const char *p, const char *end)
{
    /* Most tags are none of these: one look at the first letter. */
    int first = p < end ? lower(*p) : 0;
    if (first != 'n' && first != 'p' && first != 'm' && first != 's')
        return PROTECTING_COUNT;
    int k = 0;
    for (; k < PROTECTING_COUNT; k++) {
        size_t n = strlen(k_protecting[k]);
        if (name_at(p, end, k_protecting[k]) && p + n < end &&
            (is_ws(p[n]) || p[n] == '>' || p[n] == '/'))
            break;
    }
    return k;
}

/* The next "<!--" in [p, end), or NULL: "<" is rare enough for memchr.
 * Notes a protecting element's start tag on the way: without one (and
 * without a removed comment, which may join one) step 2 need not look. */
static const char *find_comment(const char *p, const char *end, int *protecting)
{
    while ((p = memchr(p, '<', (size_t)(end - p))) != NULL) {
        if (end - p >= 4 && p[1] == '!' && p[2] == '-' && p[3] == '-')
            return p;
        p++;
        if (!*protecting && protecting_at(p, end) != PROTECTING_COUNT)
            *protecting = 1;
    }
    return NULL;
}

/* Step 1: the text without its comments, into raw->work; the line feeds of
 * each removed comment are remembered, so lines can be numbered as given. */
static int remove_comments(struct wt_raw *raw, const char *text, size_t len)
{
    /* In place (text is the work) the bytes before the first comment stay
     * where they are, and the rest moves left. */
    if (text != raw->work && !reserve(&raw->work, &raw->work_cap, len + 1, 1))
        return 0;
    size_t out = 0;
    size_t line = 1;
    size_t removed_lfs = 0;
    const char *p = text;
    const char *end = text + len;
    raw->gap_count = 0;
    raw->protecting = 0;
    while (p < end) {
        const char *open = find_comment(p, end, &raw->protecting);
        const char *keep_end = open != NULL ? open : end;
        size_t n = (size_t)(keep_end - p);
        /* Lines are counted only up to comments: only they need a number
         * (and before the move, which may overwrite what it counts). */
        if (open != NULL)
            line += count_lfs(p, n);
        if (raw->work + out != p)
            memmove(raw->work + out, p, n);
        out += n;
        if (open == NULL)
            break;
        raw->protecting = 1;
        const char *close = memmem(open + 4, (size_t)(end - open - 4), "-->", 3);
        const char *after = close != NULL ? close + 3 : end;
        size_t lfs = count_lfs(open, (size_t)(after - open));
        if (lfs > 0) {
            if (!reserve(&raw->gaps, &raw->gap_cap, raw->gap_count + 1, sizeof *raw->gaps))
                return 0;
            removed_lfs += lfs;
            raw->gaps[raw->gap_count].line = line;
            raw->gaps[raw->gap_count].lfs = removed_lfs; /* running total */
            raw->gap_count++;
        }
        p = after;
    }
    raw->work[out] = '\0';
    raw->len = out;
    return 1;
}

/* The two lowest bytes of 0x01-0x08 and 0x0E-0x1F that the text lacks: they
 * are not whitespace to the converter and cannot be confused with text. */
static int choose_masks(struct wt_raw *raw)
{
    unsigned char seen[32] = {0};
    const unsigned char *p = (const unsigned char *)raw->work;
    size_t i = 0;
#if defined(RAW_SIMD)
    /* A block whose every byte is at least 32 or whitespace (most blocks:
     * only line feeds are below 32) needs no look at its bytes. */
    for (; i + 64 <= raw->len; i += 64) {
        /* Four blocks, one test: control bytes are rare. */
        __m128i any = _mm_or_si128(_mm_or_si128(control16((const char *)p + i),
                                                control16((const char *)p + i + 16)),
                                   _mm_or_si128(control16((const char *)p + i + 32),
                                                control16((const char *)p + i + 48)));
        if (_mm_movemask_epi8(any) == 0)
            continue;
        for (size_t k = i; k < i + 64; k += 16)
            for (unsigned control = (unsigned)_mm_movemask_epi8(control16((const char *)p + k));
                 control != 0; control &= control - 1)
                seen[p[k + (unsigned)__builtin_ctz(control)]] = 1;
    }
    for (; i + 16 <= raw->len; i += 16)
        for (unsigned control = (unsigned)_mm_movemask_epi8(control16((const char *)p + i));
             control != 0; control &= control - 1)
            seen[p[i + (unsigned)__builtin_ctz(control)]] = 1;
#else
    /* Eight bytes a step: a word with no byte below 32 (most words: only
     * line feeds are) needs no look at its bytes. */
    for (; i + 8 <= raw->len; i += 8) {
        uint64_t word;
        memcpy(&word, p + i, 8);
        if (((word - 0x2020202020202020ULL) & ~word & 0x8080808080808080ULL) == 0)
            continue;
        for (size_t k = i; k < i + 8; k++)
            if (p[k] < 32)
                seen[p[k]] = 1;
    }
#endif
    for (; i < raw->len; i++)
        if (p[i] < 32)
            seen[p[i]] = 1;
    int found = 0;
    for (int c = 1; c < 32 && found < 2; c++) {
        if ((c >= 0x09 && c <= 0x0D) || seen[c])
            continue;
        if (found++ == 0)
            raw->mask_bar = (unsigned char)c;
        else
            raw->mask_bang = (unsigned char)c;
    }
    return found == 2;
}

/* Every "|" and "!" of [start, end) becomes its mask byte. */
static void mask_range(struct wt_raw *raw, size_t start, size_t end)
{
    char *p = raw->work + start, *stop = raw->work + end;
    const char bar = (char)raw->mask_bar, bang = (char)raw->mask_bang;
#if defined(RAW_SIMD)
    for (; stop - p >= 16; p += 16) {
        __m128i v = load16(p);
        unsigned hits = eq16(v, '|') | eq16(v, '!');
        for (; hits != 0; hits &= hits - 1) {
            char *c = p + __builtin_ctz(hits);
            *c = *c == '|' ? bar : bang;
            raw->masked++;
        }
    }
#endif
    for (; p < stop; p++) {
        if (*p == '|' || *p == '!') {
            *p = *p == '|' ? bar : bang;
            raw->masked++;
        }
    }
}

const char *wt_find_closing_tag(const char *from, const char *end, const char *name,
                                const char **close_start)
{
    size_t n = strlen(name);
    for (const char *p = from; p < end;) {
        const char *lt = memchr(p, '<', (size_t)(end - p));
        if (lt == NULL)
            return NULL;
        p = lt + 1;
        if (p >= end || *p != '/' || !name_at(p + 1, end, name))
            continue;
        const char *q = p + 1 + n;
        while (q < end && is_ws(*q))
            q++;
        if (q < end && *q == '>') {
            *close_start = lt;
            return q + 1;
        }
    }
    return NULL;
}

/* Records a matched "{{" "}}" range.  Matched pairs nest, and a later match
 * that begins earlier encloses the ones recorded behind its start: those are
 * replaced, so the list stays sorted and disjoint. */
static int add_range(struct wt_raw *raw, size_t *count, size_t start, size_t end)
{
    while (*count > 0 && raw->ranges[*count - 1].start >= start)
        (*count)--;
    if (!reserve(&raw->ranges, &raw->range_cap, *count + 1, sizeof *raw->ranges))
        return 0;
    raw->ranges[*count].start = start;
    raw->ranges[*count].end = end;
    (*count)++;
    return 1;
}

/* Template pairs in one stretch of text outside the protecting elements;
 * the open "{{" stay on the stack across stretches. */
static int scan_braces(struct wt_raw *raw, size_t from, size_t to, size_t *depth,
                       size_t *ranges)
{
    const char *s = raw->work;
    /* Only braces matter: jump from one to the next, the nearer of the next
     * "{" and the next "}", each found once. */
    const char *next_open = NULL, *next_close = NULL;
    const char *stop = s + to;
    for (size_t i = from; i + 1 < to;) {
        if (next_open == NULL || next_open < s + i) {
            next_open = memchr(s + i, '{', to - i);
            if (next_open == NULL)
                next_open = stop;
        }
        if (next_close == NULL || next_close < s + i) {
            next_close = memchr(s + i, '}', to - i);
            if (next_close == NULL)
                next_close = stop;
        }
        const char *brace = next_open < next_close ? next_open : next_close;
        i = (size_t)(brace - s);
        if (i + 1 >= to)
            break;
        if (s[i] == '{' && s[i + 1] == '{') {
            if (!reserve(&raw->stack, &raw->stack_cap, *depth + 1, sizeof *raw->stack))
                return 0;
            raw->stack[(*depth)++] = i;
            i += 2;
        } else if (s[i] == '}' && s[i + 1] == '}') {
            if (*depth > 0 && !add_range(raw, ranges, raw->stack[--*depth], i + 2))
                return 0;
            i += 2;
        } else {
            i++;
        }
    }
    return 1;
}

/* Step 2: elements first, from the left, then template pairs in the text
 * outside them. */
static int protect_spans(struct wt_raw *raw)
{
    const char *s = raw->work;
    const char *end = s + raw->len;
    const char *no_close_from[PROTECTING_COUNT] = {0};
    size_t depth = 0;
    size_t ranges = 0;
    size_t outside = 0; /* start of the stretch outside elements */
    for (const char *p = raw->protecting ? s : end; p < end;) {
        const char *lt = memchr(p, '<', (size_t)(end - p));
        if (lt == NULL)
            break;
        p = lt + 1;
        int k = protecting_at(p, end);
        if (k == PROTECTING_COUNT)
            continue;
        const char *gt = memchr(p, '>', (size_t)(end - p));
        if (gt == NULL)
            break;
        if (gt[-1] == '/') {
            p = gt + 1; /* self-closing: protects nothing */
            continue;
        }
        /* A failed search stays failed further on: no quadratic rescans. */
        const char *close_start = NULL;
        const char *close_end = NULL;
        if (no_close_from[k] == NULL || gt + 1 < no_close_from[k])
            close_end = wt_find_closing_tag(gt + 1, end, k_protecting[k], &close_start);
        if (close_end == NULL) {
            if (no_close_from[k] == NULL)
                no_close_from[k] = gt + 1;
            p = gt + 1;
            continue;
        }
        if (!scan_braces(raw, outside, (size_t)(lt - s), &depth, &ranges))
            return 0;
        mask_range(raw, (size_t)(gt + 1 - s), (size_t)(close_start - s));
        outside = (size_t)(close_end - s);
        p = close_end;
    }
    if (!scan_braces(raw, outside, raw->len, &depth, &ranges))
        return 0;
    for (size_t i = 0; i < ranges; i++)
        mask_range(raw, raw->ranges[i].start, raw->ranges[i].end);
    return 1;
}

/* The line walk's table depth, for just the lines that can change it or be
 * a lone marker: the walk's own rules (wt_markup), without its work on
 * every other line.  A lone marker's place (behind it) goes on the stack. */
static int note_lone_marker(struct wt_raw *raw, const char *start, const char *stop, int *depth,
                            size_t *lone)
{
    const char *t = wt_skip_space(start, stop);
    if (t == stop)
        return 1;
    char c = *t;
    size_t colons;
    const char *after;
    if ((c == ':' || c == '{') && wt_table_start(t, stop, &colons, &after)) {
        if (*depth < WTTABLE_MAX_DEPTH)
            (*depth)++;
        return 1;
    }
    if (*depth == 0 || (c != '|' && c != '!'))
        return 1;
    size_t n = (size_t)(wt_trim_end(t, stop) - t);
    enum wt_marker marker = wt_marker_of(t, n);
    if (marker == WT_MARK_ALONE && n == 1) {
        if (!reserve(&raw->stack, &raw->stack_cap, *lone + 1, sizeof *raw->stack))
            return 0;
        raw->stack[(*lone)++] = (size_t)(t + 1 - raw->work);
    } else if (marker == WT_MARK_TABLE_END) {
        (*depth)--;
    }
    return 1;
}

/* Most lines begin with a letter, "*", "=", "[": none of the walk's. */
static inline int may_matter(const char *line, const char *stop)
{
    if (line == stop)
        return 0;
    char c = *line;
    return c == '|' || c == '!' || c == ':' || c == '{' || wt_is_space((unsigned char)c);
}

static int find_lone_markers(struct wt_raw *raw, size_t *lone)
{
    const char *s = raw->work, *end = s + raw->len;
    const char *line = s;
    int depth = 0;
    *lone = 0;
    const char *p = s;
#if defined(RAW_SIMD)
    /* 64 bytes a step: lines are about that long. */
    for (; end - p >= 64; p += 64) {
        uint64_t lfs = (uint64_t)eq16(load16(p), '\n') |
                       (uint64_t)eq16(load16(p + 16), '\n') << 16 |
                       (uint64_t)eq16(load16(p + 32), '\n') << 32 |
                       (uint64_t)eq16(load16(p + 48), '\n') << 48;
        for (; lfs != 0; lfs &= lfs - 1) {
            const char *lf = p + __builtin_ctzll(lfs);
            if (may_matter(line, lf) && !note_lone_marker(raw, line, lf, &depth, lone))
                return 0;
            line = lf + 1;
        }
    }
    for (; end - p >= 16; p += 16) {
        for (unsigned lfs = eq16(load16(p), '\n'); lfs != 0; lfs &= lfs - 1) {
            const char *lf = p + __builtin_ctz(lfs);
            if (may_matter(line, lf) && !note_lone_marker(raw, line, lf, &depth, lone))
                return 0;
            line = lf + 1;
        }
    }
#endif
    for (; p < end; p++) {
        if (*p == '\n') {
            if (!note_lone_marker(raw, line, p, &depth, lone))
                return 0;
            line = p + 1;
        }
    }
    return line < end ? note_lone_marker(raw, line, end, &depth, lone) : 1;
}

/* Step 3: lone "|" and "!" lines inside tables become empty cells, in
 * place: each lone marker grows by two bytes, the text behind it moved
 * back from the end.  The work then becomes the text, with no copy. */
static int fill_lone_cells(struct wt_raw *raw)
{
    /* The stack of step 2 is free now. */
    size_t lone;
    if (!find_lone_markers(raw, &lone))
        return 0;
    if (lone > 0) {
        if (!reserve(&raw->work, &raw->work_cap, raw->len + 2 * lone + 1, 1))
            return 0;
        size_t end = raw->len;
        for (size_t k = lone; k-- > 0;) {
            size_t at = raw->stack[k];
            memmove(raw->work + at + 2 * (k + 1), raw->work + at, end - at);
            raw->work[at + 2 * k] = ' ';
            raw->work[at + 2 * k + 1] = '|';
            end = at;
        }
        raw->len += 2 * lone;
        raw->work[raw->len] = '\0';
    }
    char *text = raw->text;
    size_t cap = raw->cap;
    raw->text = raw->work;
    raw->cap = raw->work_cap;
    raw->work = text;
    raw->work_cap = cap;
    return 1;
}

static int prepare_steps(struct wt_raw *raw, const char *text, size_t len)
{
    raw->mask_bar = raw->mask_bang = 0;
    raw->unmasked = 0;
    raw->masked = 0;
    if (!remove_comments(raw, text, len))
        return 0;
    if (!choose_masks(raw)) {
        raw->unmasked = 1;
        raw->mask_bar = raw->mask_bang = 0;
    } else if (!protect_spans(raw)) {
        return 0;
    }
    return fill_lone_cells(raw);
}

int wt_raw_prepare(struct wt_raw *raw, const char *text, size_t len)
{
    return prepare_steps(raw, text, len);
}

int wt_raw_prepare_in_place(struct wt_raw *raw, char **text, size_t *len, size_t *cap)
{
    /* The caller's buffer is the work; the steps end by making the work
     * the text, and then the buffers go back to their owners. */
    char *own_text = raw->text, *own_work = raw->work;
    size_t own_text_cap = raw->cap, own_work_cap = raw->work_cap;
    raw->work = *text;
    raw->work_cap = *cap;
    int ok = prepare_steps(raw, *text, *len);
    int swapped = raw->work == own_text && raw->text != own_text;
    if (swapped) {
        *text = raw->text;
        *cap = raw->cap;
        *len = raw->len;
    } else {
        *text = raw->work; /* a step failed before the end: the text as it stands */
        *cap = raw->work_cap;
    }
    raw->text = own_text;
    raw->cap = own_text_cap;
    raw->work = own_work;
    raw->work_cap = own_work_cap;
    return ok && swapped;
}

void wt_raw_unmask(const struct wt_raw *raw, char *bytes, size_t len)
{
    if (raw->masked == 0)
        return;
    /* Masked bytes are few: turn back each one found. */
    const char bar = (char)raw->mask_bar, bang = (char)raw->mask_bang;
    char *p = bytes, *end = bytes + len;
#if defined(RAW_SIMD)
    for (; end - p >= 16; p += 16) {
        __m128i v = load16(p);
        for (unsigned hits = eq16(v, bar) | eq16(v, bang); hits != 0; hits &= hits - 1) {
            char *c = p + __builtin_ctz(hits);
            *c = *c == bar ? '|' : '!';
        }
    }
#endif
    for (; p < end; p++)
        if (*p == bar || *p == bang)
            *p = *p == bar ? '|' : '!';
}

const char *wt_raw_restore(struct wt_raw *raw, const char *html, size_t len)
{
    if (raw->masked == 0)
        return html;
    if (!reserve(&raw->out, &raw->out_cap, len + 1, 1))
        return NULL;
    memcpy(raw->out, html, len);
    wt_raw_unmask(raw, raw->out, len);
    raw->out[len] = '\0';
    return raw->out;
}

size_t wt_raw_original_line(const struct wt_raw *raw, size_t line)
{
    /* The last comment that began on an earlier line gives the shift. */
    size_t lo = 0, hi = raw->gap_count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (raw->gaps[mid].line < line)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo == 0 ? line : line + raw->gaps[lo - 1].lfs;
}
