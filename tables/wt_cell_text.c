#include "wt_cell_text.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "wt_raw.h"

/* ---- strings ------------------------------------------------------------- */

static void strings_push(struct wt_strings *list, const char *s, size_t len)
{
    wt_bytes_append(&list->bytes, s, len);
    wt_bytes_append(&list->bytes, "", 1);
    list->count++;
}

static void strings_clear(struct wt_strings *list)
{
    list->bytes.len = 0;
    list->count = 0;
}

void wt_cell_text_init(struct wt_cell_text *ct)
{
    memset(ct, 0, sizeof *ct);
}

void wt_cell_text_free(struct wt_cell_text *ct)
{
    wt_bytes_free(&ct->text);
    wt_bytes_free(&ct->links.bytes);
    wt_bytes_free(&ct->refs.bytes);
    wt_bytes_free(&ct->templates.bytes);
    wt_bytes_free(&ct->sort);
    wt_bytes_free(&ct->work);
    free(ct->pairs);
    free(ct->stack);
    memset(ct, 0, sizeof *ct);
}

/* ---- matched pairs ------------------------------------------------------- */

/* "{{" "}}" and "[[" "]]" are paired in one pass over the whole wikitext,
 * innermost first, so that finding the end of each costs a lookup. */
struct pair {
    size_t open, close; /* offsets of the first bytes of the two markers */
};

struct pairs {
    struct pair *items;
    size_t count, cap;
};

static int pair_less(const void *a, const void *b)
{
    const struct pair *x = a, *y = b;
    return x->open < y->open ? -1 : x->open > y->open;
}

/* Behind the comment or nowiki element at s[i], or 0 when none is there:
 * neither holds markup. */
static size_t skip_literal(const char *s, size_t n, size_t i);

static int add_pair(struct pairs *p, size_t open, size_t close)
{
    if (p->count == p->cap) {
        size_t want = p->cap < 16 ? 16 : p->cap * 2;
        struct pair *bigger = realloc(p->items, want * sizeof *bigger);
        if (bigger == NULL)
            return 0;
        p->items = bigger;
        p->cap = want;
    }
    p->items[p->count].open = open;
    p->items[p->count].close = close;
    p->count++;
    return 1;
}

static void find_pairs(const char *s, size_t n, struct pairs *out, size_t **stack,
                       size_t *stack_cap)
{
    size_t braces = 0, brackets = 0; /* open markers on the stack, per kind */
    size_t depth = 0;
    out->count = 0;
    for (size_t i = 0; i + 1 < n;) {
        size_t skip = s[i] == '<' ? skip_literal(s, n, i) : 0;
        if (skip != 0) {
            i = skip;
            continue;
        }
        char c = s[i], d = s[i + 1];
        if ((c == '{' && d == '{') || (c == '[' && d == '[')) {
            if (depth == *stack_cap) {
                size_t want = *stack_cap < 16 ? 16 : *stack_cap * 2;
                size_t *bigger = realloc(*stack, want * sizeof *bigger);
                if (bigger == NULL)
                    return;
                *stack = bigger;
                *stack_cap = want;
            }
            (*stack)[depth++] = i;
            if (c == '{')
                braces++;
            else
                brackets++;
            i += 2;
            continue;
        }
        if ((c == '}' && d == '}' && braces > 0) || (c == ']' && d == ']' && brackets > 0)) {
            char want = c == '}' ? '{' : '[';
            /* The innermost open marker of this kind; others inside it
             * stay unmatched. */
            size_t k = depth;
            while (k > 0 && s[(*stack)[k - 1]] != want)
                k--;
            if (k > 0) {
                if (!add_pair(out, (*stack)[k - 1], i))
                    return;
                for (size_t j = k - 1; j < depth; j++) {
                    if (s[(*stack)[j]] == '{')
                        braces--;
                    else
                        brackets--;
                }
                depth = k - 1;
                i += 2;
                continue;
            }
        }
        i++;
    }
    if (out->count > 1)
        qsort(out->items, out->count, sizeof *out->items, pair_less);
}

static size_t close_of(const struct pairs *p, size_t open)
{
    size_t lo = 0, hi = p->count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (p->items[mid].open < open)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < p->count && p->items[lo].open == open ? p->items[lo].close : (size_t)-1;
}

/* ---- tags ---------------------------------------------------------------- */

struct tag {
    int closing;      /* </x> */
    int self_closing; /* <x/> */
    const char *name;
    size_t name_len;
    const char *attrs;
    size_t attrs_len;
    size_t end;       /* behind the ">" */
};

static int is_alpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static int is_alnum(char c)
{
    return is_alpha(c) || (c >= '0' && c <= '9');
}

static int parse_tag(const char *s, size_t n, size_t i, struct tag *t)
{
    size_t j = i + 1;
    memset(t, 0, sizeof *t);
    if (j < n && s[j] == '/') {
        t->closing = 1;
        j++;
    }
    if (j >= n || !is_alpha(s[j]))
        return 0;
    t->name = s + j;
    while (j < n && is_alnum(s[j]))
        j++;
    t->name_len = (size_t)(s + j - t->name);
    if (j < n && s[j] != '>' && s[j] != '/' && s[j] != ' ' && s[j] != '\t' && s[j] != '\n')
        return 0;
    t->attrs = s + j;
    while (j < n && s[j] != '>' && s[j] != '<')
        j++;
    if (j >= n || s[j] != '>')
        return 0;
    t->attrs_len = (size_t)(s + j - t->attrs);
    t->self_closing = t->attrs_len > 0 && t->attrs[t->attrs_len - 1] == '/';
    t->end = j + 1;
    return 1;
}

static int tag_is(const struct tag *t, const char *name)
{
    return t->name_len == strlen(name) && strncasecmp(t->name, name, t->name_len) == 0;
}

/* The offset of "</name>" at or behind i, or n; *after behind it, or n. */
static size_t find_close_tag(const char *s, size_t n, size_t i, const char *name,
                             size_t *after)
{
    const char *start;
    const char *end = wt_find_closing_tag(s + i, s + n, name, &start);
    if (end == NULL) {
        *after = n;
        return n;
    }
    *after = (size_t)(end - s);
    return (size_t)(start - s);
}

static size_t skip_literal(const char *s, size_t n, size_t i)
{
    if (n - i >= 4 && memcmp(s + i, "<!--", 4) == 0) {
        const char *end = NULL;
        for (size_t j = i + 4; j + 3 <= n; j++) {
            if (s[j] == '-' && s[j + 1] == '-' && s[j + 2] == '>') {
                end = s + j + 3;
                break;
            }
        }
        return end != NULL ? (size_t)(end - s) : n;
    }
    struct tag t;
    if (parse_tag(s, n, i, &t) && !t.closing && tag_is(&t, "nowiki")) {
        if (t.self_closing)
            return t.end;
        size_t after;
        find_close_tag(s, n, t.end, "nowiki", &after);
        return after;
    }
    return 0;
}

static int hides_content(const struct tag *t)
{
    /* style="...display:none..." with any spacing and case. */
    for (size_t i = 0; i + 7 <= t->attrs_len; i++) {
        if (strncasecmp(t->attrs + i, "display", 7) != 0)
            continue;
        size_t j = i + 7;
        while (j < t->attrs_len && (t->attrs[j] == ' ' || t->attrs[j] == '\t'))
            j++;
        if (j >= t->attrs_len || t->attrs[j] != ':')
            continue;
        j++;
        while (j < t->attrs_len && (t->attrs[j] == ' ' || t->attrs[j] == '\t'))
            j++;
        if (t->attrs_len - j >= 4 && strncasecmp(t->attrs + j, "none", 4) == 0)
            return 1;
    }
    return 0;
}

/* Behind the end tag that closes the element t starts at, nested elements
 * of the same name counted. */
static size_t element_end(const char *s, size_t n, const struct tag *t)
{
    size_t depth = 1;
    for (size_t i = t->end; i < n; i++) {
        struct tag u;
        if (s[i] != '<' || !parse_tag(s, n, i, &u) || u.name_len != t->name_len ||
            strncasecmp(u.name, t->name, t->name_len) != 0)
            continue;
        if (u.closing && --depth == 0)
            return u.end;
        if (!u.closing && !u.self_closing)
            depth++;
        i = u.end - 1;
    }
    return n;
}

/* ---- character references ------------------------------------------------ */

struct entity {
    const char *name;
    const char *utf8;
};

static const struct entity k_entities[] = {
#include "wt_entities.inc"
};

static int entity_cmp(const void *key, const void *item)
{
    return strcmp(key, ((const struct entity *)item)->name);
}

static void put_utf8(struct wt_bytes *out, uint32_t cp)
{
    char b[4];
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp == 0xA0) {
        wt_bytes_append(out, " ", 1);
    } else if (cp < 0x80) {
        b[0] = (char)cp;
        wt_bytes_append(out, b, 1);
    } else if (cp < 0x800) {
        b[0] = (char)(0xC0 | cp >> 6);
        b[1] = (char)(0x80 | (cp & 0x3F));
        wt_bytes_append(out, b, 2);
    } else if (cp < 0x10000) {
        b[0] = (char)(0xE0 | cp >> 12);
        b[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        b[2] = (char)(0x80 | (cp & 0x3F));
        wt_bytes_append(out, b, 3);
    } else {
        b[0] = (char)(0xF0 | cp >> 18);
        b[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
        b[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
        b[3] = (char)(0x80 | (cp & 0x3F));
        wt_bytes_append(out, b, 4);
    }
}

/* A reference at s[i] == '&': its end, or 0 when it is none. */
static size_t decode_reference(const char *s, size_t n, size_t i, struct wt_bytes *out)
{
    size_t j = i + 1;
    if (j < n && s[j] == '#') {
        int hex = j + 1 < n && (s[j + 1] == 'x' || s[j + 1] == 'X');
        j += hex ? 2 : 1;
        uint32_t cp = 0;
        size_t digits = 0;
        for (; j < n; j++, digits++) {
            char c = s[j];
            unsigned v;
            if (c >= '0' && c <= '9')
                v = (unsigned)(c - '0');
            else if (hex && ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'))
                v = (unsigned)((c | 0x20) - 'a' + 10);
            else
                break;
            cp = cp > 0x10FFFF ? cp : cp * (hex ? 16u : 10u) + v;
        }
        if (digits == 0 || j >= n || s[j] != ';')
            return 0;
        put_utf8(out, cp);
        return j + 1;
    }
    char name[40];
    size_t len = 0;
    while (j < n && is_alnum(s[j]) && len < sizeof name - 1)
        name[len++] = s[j++];
    if (len == 0 || j >= n || s[j] != ';')
        return 0;
    name[len] = '\0';
    if (strcmp(name, "nbsp") == 0) {
        wt_bytes_append(out, " ", 1);
        return j + 1;
    }
    const struct entity *e = bsearch(name, k_entities, sizeof k_entities / sizeof k_entities[0],
                                     sizeof k_entities[0], entity_cmp);
    if (e == NULL)
        return 0;
    wt_bytes_append_str(out, e->utf8);
    return j + 1;
}

/* ---- the walk ------------------------------------------------------------ */

#define LINE_BREAK '\0' /* a <br> in the unfolded text; NUL is never in it */
enum { MAX_NESTING = 40 };

struct render {
    struct wt_cell_text *ct;
    int in_ref; /* templates of a reference's text are not the cell's */
    const char *base; /* the whole wikitext: pairs are its offsets */
    struct pairs pairs;
    size_t *stack;
    size_t stack_cap;
};

static void render(struct render *r, const char *s, size_t n, struct wt_bytes *out, int depth);

/* Whitespace folds to one space, or to the line feeds of the <br>s among
 * it; the ends are trimmed.  U+00A0 is whitespace here. */
static void fold_into(struct wt_bytes *to, const char *s, size_t n)
{
    size_t start = to->len;
    int pending = 0;
    size_t breaks = 0;
    size_t i = 0;
    while (i < n) {
        unsigned char c = (unsigned char)s[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' ||
            c == (unsigned char)LINE_BREAK) {
            pending = 1;
            breaks += c == (unsigned char)LINE_BREAK;
            i++;
            continue;
        }
        if (c == 0xC2 && i + 1 < n && (unsigned char)s[i + 1] == 0xA0) {
            pending = 1;
            i += 2;
            continue;
        }
        if (pending && to->len > start) {
            if (breaks == 0)
                wt_bytes_append(to, " ", 1);
            for (size_t k = 0; k < breaks; k++)
                wt_bytes_append(to, "\n", 1);
        }
        pending = 0;
        breaks = 0;
        /* The run up to the next whitespace goes in one piece. */
        size_t run = i + 1;
        while (run < n) {
            unsigned char d = (unsigned char)s[run];
            if (d <= ' ' || d == 0xC2)
                break;
            run++;
        }
        wt_bytes_append(to, s + i, run - i);
        i = run;
    }
}

/* A template's parts: the name, then each parameter, split at the "|"s
 * outside nested templates and links. */
enum { MAX_PARTS = 64 };

struct part {
    const char *s;
    size_t n;
    const char *key; /* named: the key, trimmed; else NULL */
    size_t key_len;
    const char *value;
    size_t value_len;
};

static const char *trim_start(const char *s, const char *end)
{
    while (s < end && (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r'))
        s++;
    return s;
}

static const char *trim_stop(const char *s, const char *end)
{
    while (end > s && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\n' || end[-1] == '\r'))
        end--;
    return end;
}

static size_t split_parts(struct render *r, const char *s, size_t n, struct part *parts)
{
    size_t count = 0, start = 0;
    const char *eq = NULL;
    for (size_t i = 0; i <= n && count < MAX_PARTS; i++) {
        if (i < n && s[i] == '<') {
            size_t skip = skip_literal(s, n, i);
            if (skip != 0) {
                i = skip - 1;
                continue;
            }
        }
        if (i + 1 < n && ((s[i] == '{' && s[i + 1] == '{') || (s[i] == '[' && s[i + 1] == '['))) {
            size_t close = close_of(&r->pairs, (size_t)(s + i - r->base));
            if (close != (size_t)-1) {
                i = close - (size_t)(s - r->base) + 1;
                continue;
            }
        }
        if (i < n && s[i] == '=' && eq == NULL && count > 0)
            eq = s + i;
        if (i == n || s[i] == '|') {
            struct part *p = &parts[count++];
            p->s = s + start;
            p->n = i - start;
            p->key = NULL;
            p->value = p->s;
            p->value_len = p->n;
            if (eq != NULL) {
                const char *k = trim_start(p->s, eq);
                p->key = k;
                p->key_len = (size_t)(trim_stop(k, eq) - k);
                const char *v = trim_start(eq + 1, p->s + p->n);
                p->value = v;
                p->value_len = (size_t)(trim_stop(v, p->s + p->n) - v);
            }
            eq = NULL;
            start = i + 1;
        }
    }
    return count;
}

static size_t decimal(char *out, unsigned k)
{
    char digits[12];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + k % 10);
        k /= 10;
    } while (k != 0);
    for (size_t i = 0; i < n; i++)
        out[i] = digits[n - 1 - i];
    return n;
}

/* Positional parameter k (1-based), also as "k="; the last one wins, as
 * in the wiki. */
static const struct part *param(const struct part *parts, size_t count, unsigned k)
{
    unsigned positional = 0;
    char key[12];
    size_t key_len = decimal(key, k);
    const struct part *found = NULL;
    for (size_t i = 1; i < count; i++) {
        if (parts[i].key == NULL) {
            if (++positional == k)
                found = &parts[i];
        } else if (parts[i].key_len == key_len && memcmp(parts[i].key, key, key_len) == 0) {
            found = &parts[i];
        }
    }
    return found;
}

/* ---- the template registry ----------------------------------------------- */

enum template_action {
    T_NOTHING, /* renders as nothing */
    T_PARAM,   /* parameter `arg` */
    T_WORD,    /* parameter 1 if given, else `word` */
    T_SORT,    /* text: parameter 2, else 1; the sort key: parameter 1 */
    T_JOIN,    /* parameters 1 and 2 with a space between */
    T_LIST,    /* every positional parameter, one a line */
    T_BULLETS, /* the "*" items of parameter 1, one a line */
    T_REF      /* parameter 1 goes to the references */
};

struct template_rule {
    const char *name; /* as matched: first letter lower case, "_" as " " */
    unsigned char action;
    unsigned char arg;
    const char *word;
};

static const struct template_rule k_templates[] = {
    {"sort", T_SORT, 0, NULL},
    {"sortname", T_JOIN, 0, NULL},
    {"nts", T_PARAM, 1, NULL},
    {"ntsh", T_PARAM, 1, NULL},
    {"nowrap", T_PARAM, 1, NULL},
    {"small", T_PARAM, 1, NULL},
    {"big", T_PARAM, 1, NULL},
    {"center", T_PARAM, 1, NULL},
    {"nobold", T_PARAM, 1, NULL},
    {"lang", T_PARAM, 2, NULL},
    {"abbr", T_PARAM, 1, NULL},
    {"flag", T_PARAM, 1, NULL},
    {"flagcountry", T_PARAM, 1, NULL},
    {"flagicon", T_NOTHING, 0, NULL},
    {"yes", T_WORD, 0, "Yes"},
    {"no", T_WORD, 0, "No"},
    {"partial", T_WORD, 0, "Partial"},
    {"n/a", T_WORD, 0, "N/A"},
    {"na", T_WORD, 0, "N/A"},
    {"dunno", T_WORD, 0, "?"},
    {"tba", T_WORD, 0, "TBA"},
    {"tbd", T_WORD, 0, "TBD"},
    {"unk", T_WORD, 0, "Unknown"},
    {"convert", T_JOIN, 0, NULL},
    {"ubl", T_LIST, 0, NULL},
    {"unbulleted list", T_LIST, 0, NULL},
    {"plainlist", T_BULLETS, 0, NULL},
    {"flatlist", T_BULLETS, 0, NULL},
    {"efn", T_REF, 0, NULL},
    {"refn", T_REF, 0, NULL},
    {"cn", T_NOTHING, 0, NULL},
    {"citation needed", T_NOTHING, 0, NULL},
    {"fact", T_NOTHING, 0, NULL},
};

/* A template name as the wiki compares them: trimmed, "_" as " ", runs of
 * spaces as one, the first letter in either case.  Returns its length in
 * `out` (cut at `cap`). */
static size_t template_key(const char *s, size_t n, char *out, size_t cap)
{
    const char *end = trim_stop(s, s + n);
    s = trim_start(s, end);
    size_t len = 0;
    int space = 0;
    for (; s < end && len < cap; s++) {
        char c = *s == '_' ? ' ' : *s;
        if (c == ' ' || c == '\t' || c == '\n') {
            space = 1;
            continue;
        }
        if (space && len > 0 && len < cap)
            out[len++] = ' ';
        space = 0;
        if (len < cap)
            out[len++] = c;
    }
    if (len > 0 && out[0] >= 'A' && out[0] <= 'Z')
        out[0] = (char)(out[0] - 'A' + 'a');
    return len;
}

static const struct template_rule *find_template(const char *key, size_t len)
{
    for (size_t i = 0; i < sizeof k_templates / sizeof k_templates[0]; i++)
        if (strlen(k_templates[i].name) == len && memcmp(k_templates[i].name, key, len) == 0)
            return &k_templates[i];
    return NULL;
}

static void render_part(struct render *r, const struct part *p, struct wt_bytes *out, int depth)
{
    if (p != NULL)
        render(r, p->value, p->value_len, out, depth);
}

/* Renders s on its own, folded, onto `to`. */
static void render_apart(struct render *r, const char *s, size_t n, struct wt_bytes *to,
                         int depth)
{
    struct wt_bytes tmp = {NULL, 0, 0, 0};
    wt_bytes_reserve(&tmp, n); /* links inside take their text from it */
    render(r, s, n, &tmp, depth);
    fold_into(to, tmp.data, tmp.len);
    wt_bytes_free(&tmp);
}

static void push_ref(struct render *r, const char *s, size_t n, int depth)
{
    int was_in_ref = r->in_ref;
    r->in_ref = 1;
    struct wt_strings *refs = &r->ct->refs;
    render_apart(r, s, n, &refs->bytes, depth);
    wt_bytes_append(&refs->bytes, "", 1);
    refs->count++;
    r->in_ref = was_in_ref;
}

static int has_text(const struct part *p)
{
    return p != NULL && trim_start(p->value, p->value + p->value_len) < p->value + p->value_len;
}

static void render_bullets(struct render *r, const struct part *list, struct wt_bytes *out,
                           int depth)
{
    const char *p = list->value, *end = p + list->value_len;
    int first = 1;
    while (p < end) {
        const char *lf = memchr(p, '\n', (size_t)(end - p));
        const char *line_end = lf != NULL ? lf : end;
        const char *item = trim_start(p, line_end);
        if (item < line_end && *item == '*') {
            while (item < line_end && *item == '*')
                item++;
            if (!first)
                wt_bytes_append(out, "", 1); /* LINE_BREAK */
            first = 0;
            render(r, item, (size_t)(line_end - item), out, depth);
        }
        p = lf != NULL ? lf + 1 : end;
    }
}

static void render_template(struct render *r, const char *s, size_t n, struct wt_bytes *out,
                            int depth)
{
    struct part parts[MAX_PARTS];
    size_t count = split_parts(r, s, n, parts);
    char key[64];
    size_t key_len = template_key(parts[0].s, parts[0].n, key, sizeof key);
    const struct template_rule *rule = find_template(key, key_len);
    struct wt_cell_text *ct = r->ct;
    if (rule == NULL) {
        const char *name_end = trim_stop(parts[0].s, parts[0].s + parts[0].n);
        const char *name = trim_start(parts[0].s, name_end);
        if (!r->in_ref)
            strings_push(&ct->templates, name, (size_t)(name_end - name));
        return;
    }
    switch (rule->action) {
    case T_NOTHING:
        break;
    case T_PARAM:
        render_part(r, param(parts, count, rule->arg), out, depth);
        break;
    case T_WORD: {
        const struct part *given = param(parts, count, 1);
        if (has_text(given))
            render_part(r, given, out, depth);
        else
            wt_bytes_append_str(out, rule->word);
        break;
    }
    case T_SORT: {
        const struct part *sort_key = param(parts, count, 1);
        const struct part *text = param(parts, count, 2);
        render_part(r, text != NULL ? text : sort_key, out, depth);
        if (sort_key != NULL && !ct->has_sort) {
            ct->sort.len = 0;
            render_apart(r, sort_key->value, sort_key->value_len, &ct->sort, depth);
            ct->has_sort = 1;
        }
        break;
    }
    case T_JOIN:
        render_part(r, param(parts, count, 1), out, depth);
        wt_bytes_append(out, " ", 1);
        render_part(r, param(parts, count, 2), out, depth);
        break;
    case T_LIST:
        for (unsigned k = 1;; k++) {
            const struct part *item = param(parts, count, k);
            if (item == NULL)
                break;
            if (k > 1)
                wt_bytes_append(out, "", 1); /* LINE_BREAK */
            render_part(r, item, out, depth);
        }
        break;
    case T_BULLETS: {
        const struct part *list = param(parts, count, 1);
        if (list != NULL)
            render_bullets(r, list, out, depth);
        break;
    }
    case T_REF: {
        const struct part *text = param(parts, count, 1);
        if (text != NULL)
            push_ref(r, text->value, text->value_len, depth);
        break;
    }
    }
}

/* ---- links ---------------------------------------------------------------- */

/* Links to these namespaces show an image or set a category, not text. */
static const char *const k_dropped_namespaces[] = {
    "file", "image", "category", "datei", "bild", "kategorie", "fichier",
    "catégorie", "archivo", "imagen", "categoría", "bestand", "categorie", "plik",
    "kategoria", "ficheiro", "arquivo", "immagine", "categoria",
};

static int dropped_link(const char *target, size_t n)
{
    const char *colon = memchr(target, ':', n);
    if (colon == NULL)
        return 0;
    const char *ns_end = trim_stop(target, colon);
    size_t len = (size_t)(ns_end - target);
    for (size_t i = 0; i < sizeof k_dropped_namespaces / sizeof k_dropped_namespaces[0]; i++)
        if (strlen(k_dropped_namespaces[i]) == len &&
            strncasecmp(k_dropped_namespaces[i], target, len) == 0)
            return 1;
    return 0;
}

static void push_link(struct render *r, const char *target, size_t target_len,
                      const struct wt_bytes *out, size_t text_start)
{
    struct wt_strings *links = &r->ct->links;
    strings_push(links, target, target_len);
    if (out->data != NULL)
        fold_into(&links->bytes, out->data + text_start, out->len - text_start);
    wt_bytes_append(&links->bytes, "", 1);
    links->count++;
}

/* [[target|label]] and its trail: `s`..`n` is what the brackets hold and
 * `trail` the letters behind them.  Returns 0 for a link that shows no
 * text (a file or a category), which takes no trail. */
static int render_link(struct render *r, const char *s, size_t n, const char *trail,
                       size_t trail_len, struct wt_bytes *out, int depth)
{
    const char *bar = memchr(s, '|', n);
    const char *target_end = trim_stop(s, bar != NULL ? bar : s + n);
    const char *target = trim_start(s, target_end);
    if (target < target_end && *target == ':')
        target++; /* a link to the page, not its use */
    else if (dropped_link(target, (size_t)(target_end - target)))
        return 0;
    size_t start = out->len;
    if (bar != NULL)
        render(r, bar + 1, (size_t)(s + n - (bar + 1)), out, depth);
    else
        wt_bytes_append(out, target, (size_t)(target_end - target));
    wt_bytes_append(out, trail, trail_len);
    push_link(r, target, (size_t)(target_end - target), out, start);
    return 1;
}

static size_t url_scheme(const char *s, size_t n)
{
    static const char *const schemes[] = {"http://", "https://", "ftp://", "//", "mailto:",
                                          "news:", "irc://"};
    for (size_t i = 0; i < sizeof schemes / sizeof schemes[0]; i++) {
        size_t len = strlen(schemes[i]);
        if (n >= len && strncasecmp(s, schemes[i], len) == 0)
            return len;
    }
    return 0;
}

/* [url label] at s[i] == '['; returns its end, or 0 when it is none. */
static size_t render_external(struct render *r, const char *s, size_t n, size_t i,
                              struct wt_bytes *out, int depth)
{
    if (url_scheme(s + i + 1, n - i - 1) == 0)
        return 0;
    size_t j = i + 1;
    while (j < n && s[j] != ']' && s[j] != '\n')
        j++;
    if (j >= n || s[j] != ']')
        return 0;
    size_t url_end = i + 1;
    while (url_end < j && s[url_end] != ' ' && s[url_end] != '\t')
        url_end++;
    size_t start = out->len;
    if (url_end < j)
        render(r, s + url_end + 1, j - url_end - 1, out, depth);
    push_link(r, s + i + 1, url_end - i - 1, out, start);
    return j + 1;
}

/* ---- the walk itself ------------------------------------------------------ */

/* The element at s[i] == '<'; returns its end, or 0 when it is no tag. */
static size_t render_tag(struct render *r, const char *s, size_t n, size_t i,
                         struct wt_bytes *out, int depth)
{
    struct tag t;
    if (n - i >= 4 && memcmp(s + i, "<!--", 4) == 0)
        return skip_literal(s, n, i);
    if (!parse_tag(s, n, i, &t))
        return 0;
    if (tag_is(&t, "br")) {
        wt_bytes_append(out, r->ct->br_space ? " " : "", 1); /* LINE_BREAK */
        return t.end;
    }
    if (t.closing || t.self_closing)
        return t.end;
    size_t after;
    if (tag_is(&t, "nowiki")) {
        size_t close = find_close_tag(s, n, t.end, "nowiki", &after);
        wt_bytes_append(out, s + t.end, close - t.end);
        return after;
    }
    if (tag_is(&t, "ref")) {
        size_t close = find_close_tag(s, n, t.end, "ref", &after);
        push_ref(r, s + t.end, close - t.end, depth);
        return after;
    }
    return hides_content(&t) ? element_end(s, n, &t) : t.end;
}

/* "{{...}}" or "[[...]]" at s[i] when it was paired; returns its end, or 0. */
static size_t render_paired(struct render *r, const char *s, size_t n, size_t i,
                            struct wt_bytes *out, int depth)
{
    size_t offset = (size_t)(s - r->base);
    size_t close = close_of(&r->pairs, offset + i);
    if (close == (size_t)-1 || close - offset + 2 > n)
        return 0;
    size_t end = close - offset;
    if (s[i] == '{') {
        render_template(r, s + i + 2, end - i - 2, out, depth);
        return end + 2;
    }
    size_t trail = end + 2;
    while (trail < n && is_alpha(s[trail]))
        trail++;
    if (!render_link(r, s + i + 2, end - i - 2, s + end + 2, trail - end - 2, out, depth))
        return end + 2;
    return trail;
}

static size_t render_quotes(const char *s, size_t n, size_t i, struct wt_bytes *out)
{
    size_t run = 1;
    while (i + run < n && s[i + run] == '\'')
        run++;
    if (run < 2)
        return 0;
    /* Two and three go; four are an apostrophe and bold; past five the
     * rest are apostrophes. */
    size_t kept = run == 4 ? 1 : run > 5 ? run - 5 : 0;
    wt_bytes_append(out, s + i, kept);
    return i + run;
}

static void render(struct render *r, const char *s, size_t n, struct wt_bytes *out, int depth)
{
    if (depth > MAX_NESTING) {
        wt_bytes_append(out, s, n);
        return;
    }
    size_t i = 0, plain = 0;
    while (i < n) {
        char c = s[i];
        if (c != '<' && c != '{' && c != '[' && c != '\'' && c != '&') {
            i++;
            continue;
        }
        wt_bytes_append(out, s + plain, i - plain);
        size_t next = 0;
        int pair = i + 1 < n && s[i + 1] == c;
        if (c == '<')
            next = render_tag(r, s, n, i, out, depth + 1);
        else if ((c == '{' || c == '[') && pair)
            next = render_paired(r, s, n, i, out, depth + 1);
        else if (c == '[')
            next = render_external(r, s, n, i, out, depth + 1);
        else if (c == '\'')
            next = render_quotes(s, n, i, out);
        else if (c == '&')
            next = decode_reference(s, n, i, out);
        if (next == 0) {
            wt_bytes_append(out, s + i, 1);
            next = i + 1;
        }
        i = plain = next;
    }
    wt_bytes_append(out, s + plain, i - plain);
}

/* Whether the text is its own rendering: no byte that starts markup or a
 * reference, no whitespace but single inner spaces.  Most cells are. */
static int is_plain(const char *s, size_t n)
{
    if (n > 0 && (s[0] == ' ' || s[n - 1] == ' '))
        return 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c < 0x27) {
            if (c != ' ' && c != '!' && c != '"' && c != '#' && c != '$' && c != '%')
                return 0;
            if (c == ' ' && s[i + 1] == ' ')
                return 0;
        } else if (c == '\'' || c == '<' || c == '[' || c == '{' || c == 0xC2) {
            return 0;
        }
    }
    return 1;
}

void wt_cell_text_render(struct wt_cell_text *ct, const char *wikitext, size_t len)
{
    ct->text.len = 0;
    ct->sort.len = 0;
    ct->has_sort = 0;
    strings_clear(&ct->links);
    strings_clear(&ct->refs);
    strings_clear(&ct->templates);
    if (is_plain(wikitext, len)) {
        wt_bytes_append(&ct->text, wikitext, len);
        wt_bytes_reserve(&ct->text, 1);
        return;
    }
    struct render r;
    memset(&r, 0, sizeof r);
    r.ct = ct;
    r.base = wikitext;
    r.pairs.items = ct->pairs;
    r.pairs.cap = ct->pair_cap;
    r.stack = ct->stack;
    r.stack_cap = ct->stack_cap;
    find_pairs(wikitext, len, &r.pairs, &r.stack, &r.stack_cap);
    ct->work.len = 0;
    wt_bytes_reserve(&ct->work, len); /* links take their text from it */
    render(&r, wikitext, len, &ct->work, 0);
    fold_into(&ct->text, ct->work.data, ct->work.len);
    wt_bytes_reserve(&ct->text, 1); /* a buffer, even for no text */
    ct->pairs = r.pairs.items;
    ct->pair_cap = r.pairs.cap;
    ct->stack = r.stack;
    ct->stack_cap = r.stack_cap;
}

/* ---- attributes ----------------------------------------------------------- */

static int is_attr_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int wt_attr_value(const char *attrs, size_t len, const char *name, const char **value,
                  size_t *value_len)
{
    size_t name_len = strlen(name);
    size_t i = 0;
    while (i < len) {
        while (i < len && is_attr_space(attrs[i]))
            i++;
        size_t key = i;
        while (i < len && attrs[i] != '=' && !is_attr_space(attrs[i]))
            i++;
        size_t key_len = i - key;
        while (i < len && is_attr_space(attrs[i]))
            i++;
        const char *v = attrs + i;
        size_t v_len = 0;
        if (i < len && attrs[i] == '=') {
            i++;
            while (i < len && is_attr_space(attrs[i]))
                i++;
            if (i < len && (attrs[i] == '"' || attrs[i] == '\'')) {
                char quote = attrs[i++];
                v = attrs + i;
                while (i < len && attrs[i] != quote)
                    i++;
                v_len = (size_t)(attrs + i - v);
                if (i < len)
                    i++;
            } else {
                v = attrs + i;
                while (i < len && !is_attr_space(attrs[i]))
                    i++;
                v_len = (size_t)(attrs + i - v);
            }
        } else if (key_len == 0 && i < len) {
            i++; /* a stray byte */
        }
        if (key_len == name_len && key_len > 0 && strncasecmp(attrs + key, name, name_len) == 0) {
            *value = v;
            *value_len = v_len;
            return 1;
        }
    }
    return 0;
}
