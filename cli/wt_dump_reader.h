/* The reader of a wiki XML export dump: decompression (wt_source), the XML
 * events (expat), the namespaces of the site and of each page, and the
 * fields of each revision of the chosen namespaces, handed to the caller as
 * a wt_revision.  It never converts: what becomes of a revision is the
 * caller's (wt_record, or a worker process). */
#ifndef WT_DUMP_READER_H
#define WT_DUMP_READER_H

#include <expat.h>
#include <stddef.h>

#include "wt_bytes.h"
#include "wt_record.h"
#include "wt_source.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Every field but the revision text (titles are at most 255 bytes in the
 * wiki; ids, timestamps and namespace names are shorter): a larger one is
 * not a dump, and keeping it whole would let a small compressed file take
 * gigabytes. */
enum { WT_DUMP_FIELD_MAX = 64 << 10, WT_DUMP_STACK_MAX = 64 };

/* Element names that matter, as codes on the element stack. */
enum wt_dump_element {
    WT_EL_OTHER, WT_EL_MEDIAWIKI, WT_EL_SITEINFO, WT_EL_NAMESPACES, WT_EL_NAMESPACE, WT_EL_PAGE,
    WT_EL_TITLE, WT_EL_NS, WT_EL_ID, WT_EL_REVISION, WT_EL_TIMESTAMP, WT_EL_TEXT
};

struct wt_dump_ns_name {
    long key;
    char *name;
};

struct wt_dump_reader {
    /* Set by the caller. */
    const char *name;          /* the file, for messages */
    const char *where;         /* NULL, or what part of it is read ("bytes A-B, ") */
    /* NULL, or turns a place in the XML fed into its place in the file. */
    void (*locate)(const struct wt_dump_reader *r, unsigned long *line, long long *byte);
    const void *locate_ctx;
    struct wt_bytes *msgs;     /* errors, written by the caller */
    int all_namespaces;
    const long *namespaces;
    int namespace_count;
    int limited;               /* --max-pages: page_budget counts down */
    unsigned long long page_budget;
    void *ctx;
    void (*on_revision)(void *ctx, struct wt_revision *rev);
    void (*on_progress)(void *ctx); /* after each block of input */

    /* Results. */
    int status;                /* 2 when the file could not be read whole */
    int stopped;               /* the page budget ran out */
    unsigned long long pages;  /* pages of the chosen namespaces */
    long long bytes_read;      /* XML bytes of this file */
    long long file_size;       /* of a regular file, else -1 */
    struct wt_source *source;  /* while reading: its position */

    /* The reading. */
    XML_Parser parser;
    enum wt_dump_element stack[WT_DUMP_STACK_MAX];
    int depth;
    struct wt_bytes *capture;
    struct wt_dump_ns_name *ns_names;
    size_t ns_count;
    struct wt_bytes ns_key_text, ns_name_text, ns;
    int has_ns;
    int page_selected;         /* -1: not known yet */
    int field_too_long;
    struct wt_revision rev;
};

/* Reads the dump `path` ("-": standard input) to its end or its first
 * fault, calling on_revision for each revision of the chosen namespaces. */
void wt_dump_read_file(struct wt_dump_reader *r, const char *path);

/* Reading XML the caller has in memory: begin, feed it block by block (the
 * last with `final`), end.  wt_dump_feed returns 0 once reading must stop
 * (an error, said in msgs with status 2, or a stop). */
int wt_dump_begin(struct wt_dump_reader *r);
int wt_dump_feed(struct wt_dump_reader *r, const char *bytes, size_t len, int final);
void wt_dump_end(struct wt_dump_reader *r);

/* From a callback: read no further. */
void wt_dump_reader_stop(struct wt_dump_reader *r);

void wt_dump_reader_free(struct wt_dump_reader *r);

#ifdef __cplusplus
}
#endif

#endif
