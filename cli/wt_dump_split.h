/* One dump file cut into byte ranges that workers read on their own: a
 * multistream bzip2 file at stream starts (from the wiki's index file or a
 * scan for stream headers), a plain XML file at <page> start tags.  Each
 * range is fed to a dump reader as a whole document: the file's header (up
 * to its first page, with the site's namespaces) before a range that lacks
 * it, a closing tag after one that lacks it, so the revisions a range gives
 * are exactly those one reader of the whole file gives there. */
#ifndef WT_DUMP_SPLIT_H
#define WT_DUMP_SPLIT_H

#include <stddef.h>

#include "wt_bytes.h"
#include "wt_dump_reader.h"

#ifdef __cplusplus
extern "C" {
#endif

enum wt_split_kind { WT_SPLIT_XML, WT_SPLIT_BZIP2 };

struct wt_dump_split {
    enum wt_split_kind kind;
    int fd;
    long long size;           /* of the file */
    long long *cuts;          /* count + 1 offsets: range i is [cuts[i], cuts[i + 1]) */
    size_t count;
    struct wt_bytes header;   /* the XML before the first <page> */
};

/* What became of planning a split. */
enum wt_split_plan { WT_SPLIT_NO, WT_SPLIT_YES, WT_SPLIT_ERROR };

/* Plans a split of `path` into ranges of about `range_bytes` (at least
 * `min_ranges` where the file allows).  WT_SPLIT_NO: the file is read the
 * usual way (standard input, not a regular file, another compression, a
 * single stream, too small to cut); WT_SPLIT_ERROR: a message in msgs (an
 * unreadable file, an index that disagrees with it).  `index_path` may be
 * NULL (then bzip2 stream starts are found by a scan). */
enum wt_split_plan wt_dump_split_plan(struct wt_dump_split *s, const char *path,
                                      const char *index_path, size_t min_ranges,
                                      long long range_bytes, struct wt_bytes *msgs);

/* Reads range i into the reader (begun and ended here), which has its
 * callbacks, name and msgs set.  Each bzip2 stream is decompressed whole and
 * its CRC checked before a byte of it is parsed; a damaged one ends the
 * range with status 2, or with `keep_going` is skipped with a warning naming
 * its bytes (status 1).  r->bytes_read counts the range's own XML. */
void wt_dump_split_read(const struct wt_dump_split *s, size_t i, struct wt_dump_reader *r,
                        int keep_going);

void wt_dump_split_free(struct wt_dump_split *s);

#ifdef __cplusplus
}
#endif

#endif
