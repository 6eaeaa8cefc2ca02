#include "wt_progress.h"

#include <stdio.h>
#include <string.h>

#include "wt_cli.h"
#include "wt_io.h"

void wt_progress_start(struct wt_progress *p)
{
    p->started = wt_seconds_now();
    p->last = 0;
}

void wt_progress_show(struct wt_progress *p, const struct wt_progress_state *s, int final)
{
    double now = wt_seconds_now();
    if (!final && now - p->last < 0.25)
        return;
    p->last = now;
    double elapsed = now - p->started;
    double mb = (double)s->bytes_read / 1e6;
    struct wt_bytes *line = &p->line;
    line->len = 0;
    line->failed = 0;
    wt_bytes_printf(line, "\r%s: %llu pages, %llu tables, %.1f MB read, %.1f MB/s", s->name,
                    s->pages, s->tables, mb, elapsed > 0 ? mb / elapsed : 0.0);
    if (s->file_size > 0 && !final) {
        double done = (double)s->position / (double)s->file_size;
        if (done > 0.001)
            wt_bytes_printf(line, ", %.1f %%, %.0f s left", 100 * done, elapsed / done - elapsed);
    }
    wt_bytes_append_str(line, final ? "\n" : "\033[K");
    if (!line->failed)
        wt_write_all(2, line->data, line->len);
}

void wt_progress_free(struct wt_progress *p)
{
    wt_bytes_free(&p->line);
}

void wt_progress_stats(const struct wt_dump_totals *t, double seconds)
{
    double mb = (double)t->bytes / 1e6;
    fprintf(stderr,
            "wttable-dump: %llu %s, %llu %s, %llu %s with tables or listed, %llu %s, "
            "%llu failed; %.1f MB of XML in %.2f s, %.1f MB/s\n",
            t->pages, wt_plural(t->pages, "page", "pages"), t->revisions,
            wt_plural(t->revisions, "revision", "revisions"), t->objects,
            wt_plural(t->objects, "object", "objects"), t->tables,
            wt_plural(t->tables, "table", "tables"), t->failed, mb, seconds,
            seconds > 0 ? mb / seconds : 0.0);
}
