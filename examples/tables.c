/* Tables as data from C: every table of a page with its column labels and
 * rows of clean cell text.
 *
 *   cc tables.c -ltrivanex-wikitext-tables && ./a.out < page.wiki */
#include <stdio.h>
#include <stdlib.h>

#include "wttable_tables.h"

static char *read_all(FILE *in, size_t *len)
{
    size_t cap = 1 << 16, n = 0;
    char *text = malloc(cap);
    size_t got;
    while (text != NULL && (got = fread(text + n, 1, cap - n, in)) > 0) {
        n += got;
        if (n == cap) {
            char *bigger = realloc(text, cap *= 2);
            if (bigger == NULL)
                free(text);
            text = bigger;
        }
    }
    *len = n;
    return text;
}

int main(void)
{
    size_t len;
    char *text = read_all(stdin, &len);
    wtt_doc *doc = wtt_new();
    if (text == NULL || doc == NULL) {
        fprintf(stderr, "out of memory\n");
        return 2;
    }
    int rc = wtt_parse(doc, text, len, WTT_RAW_WIKITEXT);
    if (rc <= 0) {
        fprintf(stderr, rc < 0 ? "too deeply nested at line %zu\n" : "out of memory\n",
                wtt_failed_line(doc));
        return 1;
    }
    for (size_t t = 0; t < wtt_table_count(doc); t++) {
        const char *caption = wtt_caption(doc, t);
        printf("table %zu%s%s\n", t, caption != NULL ? ": " : "", caption != NULL ? caption : "");
        for (size_t c = 0; c < wtt_grid_columns(doc, t); c++)
            printf("%s%s", c > 0 ? " | " : "  ", wtt_column(doc, t, c));
        printf("\n");
        for (size_t r = wtt_header_rows(doc, t); r < wtt_grid_rows(doc, t); r++) {
            for (size_t c = 0; c < wtt_grid_columns(doc, t); c++) {
                const char *slot = wtt_slot(doc, t, r, c);
                printf("%s%s", c > 0 ? " | " : "  ", slot != NULL ? slot : "-");
            }
            printf("\n");
        }
    }
    wtt_free(doc);
    free(text);
    return 0;
}
