/* Writes the demo page: each table of a wiki article, its markup beside its
 * rendering, then the whole article as the document conversion gives it.
 * usage: demo_page ARTICLE > demo.html */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wt_markup.h"
#include "wttable.h"

static const char k_head[] =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
    "<title>wttable demo</title>\n<style>\n"
    "  body { font-family: sans-serif; max-width: 72em; margin: 2em auto; line-height: 1.4; }\n"
    "  .pair { display: grid; grid-template-columns: 1fr 1fr; gap: 1.5em; margin: 1.5em 0;\n"
    "          border-top: 1px solid #ccc; padding-top: 1em; }\n"
    "  pre { background: #f6f6f6; padding: 0.6em; overflow-x: auto; font-size: 0.85em; margin: 0; }\n"
    "  .article { white-space: pre-wrap; }\n"
    "  table { border-collapse: collapse; margin: 0.5em 0; white-space: normal; }\n"
    "  th, td { border: 1px solid #aaa; padding: 0.2em 0.5em; }\n"
    "  caption { font-weight: bold; }\n</style>\n</head>\n<body>\n";

static void put_escaped(const char *s, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        switch (s[i]) {
        case '<': fputs("&lt;", stdout); break;
        case '>': fputs("&gt;", stdout); break;
        case '&': fputs("&amp;", stdout); break;
        default: putchar(s[i]);
        }
    }
}

static char *read_file(const char *path, size_t *len)
{
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        return NULL;
    size_t cap = 1 << 16, n = 0;
    char *data = malloc(cap);
    size_t got;
    while (data != NULL && (got = fread(data + n, 1, cap - n - 1, f)) > 0) {
        n += got;
        if (cap - n < 2)
            data = realloc(data, cap *= 2);
    }
    fclose(f);
    if (data != NULL)
        data[n] = '\0';
    *len = n;
    return data;
}

int main(int argc, char **argv)
{
    size_t len;
    char *text = argc == 2 ? read_file(argv[1], &len) : NULL;
    if (text == NULL) {
        fprintf(stderr, "usage: demo_page ARTICLE > demo.html\n");
        return 2;
    }
    fputs(k_head, stdout);
    printf("<h1>wttable demo</h1>\n<p>Each table of <code>%s</code>: its wiki markup on the left, "
           "the HTML the library made of it on the right.</p>\n", argv[1]);
    struct wt_line_walk walk;
    struct wt_table_span span;
    wt_line_walk_init(&walk, text, len);
    int found;
    while ((found = wt_next_table(&walk, &span)) == 1) {
        char saved = text[span.end];
        text[span.end] = '\0';
        const char *html = wttable_to_html(text + span.start);
        printf("<div class=\"pair\">\n<pre>");
        put_escaped(text + span.start, span.end - span.start);
        printf("</pre>\n<div>%s</div>\n</div>\n", html);
        text[span.end] = saved;
    }
    printf("<h2>The whole article</h2>\n<p>The document conversion: every table became HTML, "
           "every other line was copied as it stood.</p>\n<div class=\"article\">%s</div>\n"
           "</body>\n</html>\n", wttable_parse_document(text));
    free(text);
    return found < 0 ? 1 : 0;
}
