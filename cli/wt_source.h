/* An input stream that may be compressed (bzip2, multistream too, gzip, xz
 * or zstd), recognised by its content, decompressed by libarchive on a
 * thread of its own so that decompression and the reader's work overlap. */
#ifndef WT_SOURCE_H
#define WT_SOURCE_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

struct wt_source;

/* Opens `path` ("-": standard input).  Returns NULL with a message in
 * `error` (of `error_size` bytes) on failure. */
struct wt_source *wt_source_open(const char *path, char *error, size_t error_size);

/* The next block of decompressed bytes: its length, 0 at the end, -1 on an
 * error (wt_source_error says what).  The block stays valid until the next
 * call. */
ssize_t wt_source_read(struct wt_source *src, const char **block);

const char *wt_source_error(const struct wt_source *src);

/* "none", "bzip2", "gzip", "xz" or "zstd", once the first block was read. */
const char *wt_source_compression(const struct wt_source *src);

/* Bytes of the file consumed so far, and its size (-1 when unknown: a pipe). */
long long wt_source_position(const struct wt_source *src);
long long wt_source_size(const struct wt_source *src);

void wt_source_close(struct wt_source *src);

/* What a block that should begin an XML document looks like instead, or
 * NULL when it may be XML (optional BOM and whitespace, then "<"). */
const char *wt_source_sniff_not_xml(const char *block, size_t len);

#ifdef __cplusplus
}
#endif

#endif
