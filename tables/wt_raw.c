#define _GNU_SOURCE

#include "wt_raw.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "wt_markup.h"

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
    while ((p = memchr(p, '\n', (size_t)(end - p))) != NULL) {
        count++;
        p++;
    }
    return count;
}

/* The next "<!--" in [p, end), or NULL: "<" is rare enough for memchr. */
static const char *find_comment(const char *p, const char *end)
{
    while ((p = memchr(p, '<', (size_t)(end - p))) != NULL) {
        if (end - p >= 4 && p[1] == '!' && p[2] == '-' && p[3] == '-')
            return p;
        p++;
    }
    return NULL;
}

/* Step 1: the text without its comments, into raw->work; the line feeds of
 * each removed comment are remembered, so lines can be numbered as given. */
static int remove_comments(struct wt_raw *raw, const char *text, size_t len)
{
    if (!reserve(&raw->work, &raw->work_cap, len + 1, 1))
        return 0;
    size_t out = 0;
    size_t line = 1;
    size_t removed_lfs = 0;
    const char *p = text;
    const char *end = text + len;
    raw->gap_count = 0;
    while (p < end) {
        const char *open = find_comment(p, end);
        const char *keep_end = open != NULL ? open : end;
        size_t n = (size_t)(keep_end - p);
        memcpy(raw->work + out, p, n);
        out += n;
        if (open == NULL)
            break;
        /* Lines are counted only up to comments: only they need a number. */
        line += count_lfs(p, n);
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

static void mask_byte(struct wt_raw *raw, size_t start, size_t end, char c, unsigned char mask)
{
    char *p = raw->work + start, *stop = raw->work + end;
    while ((p = memchr(p, c, (size_t)(stop - p))) != NULL) {
        *p++ = (char)mask;
        raw->masked++;
    }
}

static void mask_range(struct wt_raw *raw, size_t start, size_t end)
{
    mask_byte(raw, start, end, '|', raw->mask_bar);
    mask_byte(raw, start, end, '!', raw->mask_bang);
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
    for (const char *p = s; p < end;) {
        const char *lt = memchr(p, '<', (size_t)(end - p));
        if (lt == NULL)
            break;
        p = lt + 1;
        int k = 0;
        for (; k < PROTECTING_COUNT; k++) {
            size_t n = strlen(k_protecting[k]);
            if (name_at(p, end, k_protecting[k]) && p + n < end &&
                (is_ws(p[n]) || p[n] == '>' || p[n] == '/'))
                break;
        }
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

/* Step 3: lone "|" and "!" lines inside tables become empty cells. */
static int fill_lone_cells(struct wt_raw *raw)
{
    /* One walk notes where the lone markers are (the stack of step 2 is
     * free now); each grows by two bytes. */
    size_t lone = 0;
    struct wt_line_walk walk;
    struct wt_line line;
    wt_line_walk_init(&walk, raw->work, raw->len);
    while (wt_line_walk_next(&walk, &line)) {
        if (line.kind != WT_LINE_MARKUP || line.trimmed_len != 1)
            continue;
        if (!reserve(&raw->stack, &raw->stack_cap, lone + 1, sizeof *raw->stack))
            return 0;
        raw->stack[lone++] = (size_t)(line.trimmed + 1 - raw->work);
    }
    if (!reserve(&raw->text, &raw->cap, raw->len + 2 * lone + 1, 1))
        return 0;
    size_t out = 0, copied = 0;
    for (size_t k = 0; k < lone; k++) {
        size_t n = raw->stack[k] - copied;
        memcpy(raw->text + out, raw->work + copied, n);
        out += n;
        raw->text[out++] = ' ';
        raw->text[out++] = '|';
        copied = raw->stack[k];
    }
    memcpy(raw->text + out, raw->work + copied, raw->len - copied);
    out += raw->len - copied;
    raw->text[out] = '\0';
    raw->len = out;
    return 1;
}

int wt_raw_prepare(struct wt_raw *raw, const char *text, size_t len)
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

const char *wt_raw_restore(struct wt_raw *raw, const char *html, size_t len)
{
    if (raw->masked == 0)
        return html;
    if (!reserve(&raw->out, &raw->out_cap, len + 1, 1))
        return NULL;
    /* Masked bytes are few: copy, then turn back each one found. */
    memcpy(raw->out, html, len);
    const unsigned char masks[2] = {raw->mask_bar, raw->mask_bang};
    const char markers[2] = {'|', '!'};
    for (int k = 0; k < 2; k++) {
        char *p = raw->out, *end = raw->out + len;
        while ((p = memchr(p, masks[k], (size_t)(end - p))) != NULL)
            *p++ = markers[k];
    }
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
