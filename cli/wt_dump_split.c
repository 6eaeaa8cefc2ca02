#define _GNU_SOURCE

#include "wt_dump_split.h"

#include <bzlib.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "wt_cli.h"
#include "wt_io.h"
#include "wt_source.h"

enum {
    SCAN_CHUNK = 1 << 20,
    HEADER_SEARCH_MAX = 64 << 20, /* the <siteinfo> before the first page is small */
    STREAM_MAGIC_LEN = 10         /* "BZh", the level, the block magic */
};

static const char k_page_tag[] = "<page>";
static const char k_closing[] = "</mediawiki>\n";

/* A bzip2 stream header: "BZh", the block size digit, and the first
 * block's magic number 0x314159265359 ("1AY&SY"). */
static int is_stream_header(const char *p)
{
    return memcmp(p, "BZh", 3) == 0 && p[3] >= '1' && p[3] <= '9' && memcmp(p + 4, "1AY&SY", 6) == 0;
}

/* Whether the 11 bytes before a stream header end a bzip2 stream: its end
 * magic 0x177245385090 and 32-bit CRC, then up to 7 bits of padding.  With
 * the header's own 80 bits, a chance match inside compressed data is out of
 * reach. */
static int follows_stream_end(const unsigned char *before)
{
    uint64_t hi = 0, lo = 0; /* the 88 bits: 24 and 64 */
    for (int k = 0; k < 3; k++)
        hi = hi << 8 | before[k];
    for (int k = 3; k < 11; k++)
        lo = lo << 8 | before[k];
    for (int pad = 0; pad < 8; pad++) {
        int shift = 32 + pad;
        uint64_t magic = (lo >> shift | hi << (64 - shift)) & 0xFFFFFFFFFFFFull;
        uint64_t padding = lo & ((1u << pad) - 1);
        if (magic == 0x177245385090ull && padding == 0)
            return 1;
    }
    return 0;
}

/* The first stream start in [p, end): a stream header right after the end
 * of a stream, where 11 bytes from `low` on lie before it to show that. */
static const char *find_stream_start(const char *low, const char *p, const char *end)
{
    for (; end - p >= STREAM_MAGIC_LEN; p++) {
        p = memchr(p, 'B', (size_t)(end - p));
        if (p == NULL || end - p < STREAM_MAGIC_LEN)
            return NULL;
        if (is_stream_header(p) &&
            (p - low < 11 || follows_stream_end((const unsigned char *)p - 11)))
            return p;
    }
    return NULL;
}

/* The first offset >= from where a bzip2 stream begins right after another
 * one ends, or -1. */
static long long next_stream_start(const struct wt_dump_split *s, long long from, char *buf)
{
    if (from < 11)
        from = 11;
    while (from + STREAM_MAGIC_LEN <= s->size) {
        long long want = s->size - from + 11;
        size_t len = want < SCAN_CHUNK ? (size_t)want : SCAN_CHUNK;
        if (!wt_read_all_at(s->fd, buf, len, from - 11))
            return -1;
        const char *hit = find_stream_start(buf, buf + 11, buf + len);
        if (hit != NULL)
            return from + (hit - (buf + 11));
        from += (long long)len - 11 - STREAM_MAGIC_LEN + 1;
    }
    return -1;
}

/* The first <page> at or after `from`, or -1. */
static long long next_page_tag(const struct wt_dump_split *s, long long from, char *buf)
{
    const size_t tag = sizeof k_page_tag - 1;
    while (from + (long long)tag <= s->size) {
        long long want = s->size - from;
        size_t len = want < SCAN_CHUNK ? (size_t)want : SCAN_CHUNK;
        if (!wt_read_all_at(s->fd, buf, len, from))
            return -1;
        const char *p = memmem(buf, len, k_page_tag, tag);
        if (p != NULL)
            return from + (p - buf);
        from += (long long)(len - tag + 1);
    }
    return -1;
}

static int add_cut(struct wt_dump_split *s, long long cut)
{
    if (s->count > 0 && cut <= s->cuts[s->count])
        return 1;
    long long *bigger = realloc(s->cuts, (s->count + 3) * sizeof *bigger);
    if (bigger == NULL)
        return 0;
    s->cuts = bigger;
    s->cuts[++s->count] = cut;
    return 1;
}

/* Ranges of about range_bytes, at least min_ranges, from `first` on; each
 * cut the first boundary at or after its target (next(), -1: none). */
static int plan_cuts(struct wt_dump_split *s, long long first, size_t min_ranges,
                     long long range_bytes,
                     long long (*next)(const struct wt_dump_split *, long long, char *, void *),
                     void *ctx)
{
    char *buf = malloc(SCAN_CHUNK);
    if (buf == NULL)
        return 0;
    long long ranges = s->size / (range_bytes > 0 ? range_bytes : 1);
    if (ranges < (long long)min_ranges)
        ranges = (long long)min_ranges;
    s->cuts = malloc(2 * sizeof *s->cuts);
    int ok = s->cuts != NULL;
    if (ok)
        s->cuts[0] = 0;
    s->count = 0;
    for (long long j = 1; ok && j < ranges; j++) {
        long long target = (long long)((double)s->size * (double)j / (double)ranges);
        long long cut = next(s, target > first ? target : first, buf, ctx);
        if (cut < 0)
            break;
        ok = add_cut(s, cut);
    }
    free(buf);
    if (!ok)
        return 0;
    s->cuts[++s->count] = s->size;
    return 1;
}

static long long next_page_cut(const struct wt_dump_split *s, long long from, char *buf, void *ctx)
{
    (void)ctx;
    return next_page_tag(s, from, buf);
}

static long long next_scanned_cut(const struct wt_dump_split *s, long long from, char *buf,
                                  void *ctx)
{
    (void)ctx;
    return next_stream_start(s, from, buf);
}

/* The offsets of an index file, strictly increasing. */
struct index_offsets {
    long long *at;
    size_t count;
};

static long long next_indexed_cut(const struct wt_dump_split *s, long long from, char *buf,
                                  void *ctx)
{
    const struct index_offsets *ix = ctx;
    (void)s;
    (void)buf;
    size_t lo = 0, hi = ix->count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (ix->at[mid] < from)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < ix->count ? ix->at[lo] : -1;
}

/* Decompresses the bzip2 stream at the start of `in` into `out`; returns
 * the compressed bytes it took, 0 when it is damaged or runs past the end. */
static size_t decompress_stream(const char *in, size_t in_len, struct wt_bytes *out)
{
    bz_stream z;
    memset(&z, 0, sizeof z);
    if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK)
        return 0;
    z.next_in = (char *)in;
    z.avail_in = (unsigned)(in_len < UINT32_MAX ? in_len : UINT32_MAX);
    out->len = 0;
    int rc = BZ_OK;
    while (rc == BZ_OK) {
        if (!wt_bytes_reserve(out, 1 << 20)) {
            rc = BZ_MEM_ERROR;
            break;
        }
        z.next_out = out->data + out->len;
        z.avail_out = (unsigned)(out->cap - out->len - 1);
        unsigned before = z.avail_out;
        unsigned in_before = z.avail_in;
        rc = BZ2_bzDecompress(&z);
        out->len += before - z.avail_out;
        if (rc == BZ_OK && z.avail_in == 0 && in_before == 0 && before == z.avail_out)
            rc = BZ_UNEXPECTED_EOF; /* the input ended inside the stream */
    }
    size_t used = (size_t)(z.next_in - in);
    BZ2_bzDecompressEnd(&z);
    return rc == BZ_STREAM_END ? used : 0;
}

static int read_index(const char *index_path, struct index_offsets *ix, struct wt_bytes *msgs)
{
    char error[256];
    struct wt_source *src = wt_source_open(index_path, error, sizeof error);
    if (src == NULL) {
        wt_bytes_printf(msgs, "wttable-dump: %s: %s\n", index_path, error);
        return 0;
    }
    size_t cap = 0;
    unsigned long long line = 1;
    long long value = 0;
    int state = 0; /* 0: digits of the offset, 1: the rest of the line */
    int digits = 0, ok = 1;
    for (;;) {
        const char *block;
        ssize_t n = wt_source_read(src, &block);
        if (n < 0) {
            wt_bytes_printf(msgs, "wttable-dump: %s: %s\n", index_path, wt_source_error(src));
            ok = 0;
            break;
        }
        if (n == 0) {
            if (state == 0 && digits > 0)
                ok = 0;
            break;
        }
        for (ssize_t k = 0; k < n && ok; k++) {
            char c = block[k];
            if (state == 1) {
                if (c == '\n') {
                    state = 0;
                    line++;
                }
            } else if (c >= '0' && c <= '9' && digits < 18) {
                value = value * 10 + (c - '0');
                digits++;
            } else if (c == ':' && digits > 0) {
                if (ix->count > 0 && value < ix->at[ix->count - 1]) {
                    wt_bytes_printf(msgs, "wttable-dump: %s: line %llu: offset %lld comes after "
                                    "%lld: not a multistream index\n", index_path, line, value,
                                    ix->at[ix->count - 1]);
                    ok = 0;
                    break;
                }
                if (ix->count == 0 || value > ix->at[ix->count - 1]) {
                    if (ix->count == cap) {
                        cap = cap ? 2 * cap : 4096;
                        long long *bigger = realloc(ix->at, cap * sizeof *bigger);
                        if (bigger == NULL) {
                            wt_bytes_printf(msgs, "wttable-dump: %s: out of memory\n", index_path);
                            ok = 0;
                            break;
                        }
                        ix->at = bigger;
                    }
                    ix->at[ix->count++] = value;
                }
                state = 1;
                value = 0;
                digits = 0;
            } else {
                wt_bytes_printf(msgs, "wttable-dump: %s: line %llu is not \"offset:id:title\"\n",
                                index_path, line);
                ok = 0;
            }
        }
        if (!ok)
            break;
    }
    wt_source_close(src);
    return ok;
}

/* An index's offsets must be this file's stream starts: the first one where
 * the header stream ends, every one before the end, and the cuts taken from
 * it stream headers. */
static int check_index(const struct wt_dump_split *s, const struct index_offsets *ix,
                       long long first_end, const char *path, const char *index_path,
                       struct wt_bytes *msgs)
{
    const char *what = NULL;
    long long at = 0;
    if (ix->count == 0) {
        what = "holds no offsets";
    } else if (ix->at[0] != first_end) {
        what = "does not begin where the file's first stream ends";
        at = ix->at[0];
    } else if (ix->at[ix->count - 1] >= s->size) {
        what = "names a byte past the end of";
        at = ix->at[ix->count - 1];
    }
    for (size_t i = 1; what == NULL && i < s->count; i++) {
        char head[STREAM_MAGIC_LEN];
        if (!wt_read_all_at(s->fd, head, sizeof head, s->cuts[i]) || !is_stream_header(head)) {
            what = "names a byte where no bzip2 stream begins in";
            at = s->cuts[i];
        }
    }
    if (what == NULL)
        return 1;
    wt_bytes_printf(msgs, "wttable-dump: %s: the index %s %s%s (byte %lld): not this file's index\n",
                    wt_display_name(path), index_path, what, ix->count == 0 ? "" : " the file",
                    at);
    return 0;
}

/* The XML before the first <page> of a text, or all of it. */
static int take_header(struct wt_dump_split *s, const char *xml, size_t len)
{
    const char *page = memmem(xml, len, k_page_tag, sizeof k_page_tag - 1);
    size_t keep = page != NULL ? (size_t)(page - xml) : len;
    s->header.len = 0;
    if (!wt_bytes_reserve(&s->header, keep))
        return 0;
    memcpy(s->header.data, xml, keep);
    s->header.len = keep;
    return 1;
}

static enum wt_split_plan plan_xml(struct wt_dump_split *s, size_t min_ranges, long long range_bytes)
{
    char *buf = malloc(SCAN_CHUNK);
    if (buf == NULL)
        return WT_SPLIT_NO;
    long long first = next_page_tag(s, 0, buf);
    int ok = first >= 0 && first < HEADER_SEARCH_MAX;
    if (ok) {
        ok = wt_bytes_reserve(&s->header, (size_t)first) &&
             wt_read_all_at(s->fd, s->header.data, (size_t)first, 0);
        s->header.len = ok ? (size_t)first : 0;
    }
    free(buf);
    s->kind = WT_SPLIT_XML;
    if (!ok || !plan_cuts(s, first + 1, min_ranges, range_bytes, next_page_cut, NULL))
        return WT_SPLIT_NO;
    return s->count >= 2 ? WT_SPLIT_YES : WT_SPLIT_NO;
}

static enum wt_split_plan plan_bzip2(struct wt_dump_split *s, const char *path,
                                     const char *index_path, size_t min_ranges,
                                     long long range_bytes, struct wt_bytes *msgs)
{
    s->kind = WT_SPLIT_BZIP2;
    /* The header stream: its XML is every later range's start. */
    struct wt_bytes xml = {NULL, 0, 0, 0};
    size_t first_end = 0;
    /* The header stream is small: a first look, then a long one. */
    for (size_t probe = 1 << 20; first_end == 0; probe = HEADER_SEARCH_MAX) {
        if ((long long)probe > s->size)
            probe = (size_t)s->size;
        char *in = malloc(probe);
        if (in != NULL && wt_read_all_at(s->fd, in, probe, 0))
            first_end = decompress_stream(in, probe, &xml);
        free(in);
        if (probe == HEADER_SEARCH_MAX || (long long)probe == s->size)
            break;
    }
    int ok = first_end > 0 && take_header(s, xml.data, xml.len);
    wt_bytes_free(&xml);
    if (!ok || (long long)first_end >= s->size)
        return WT_SPLIT_NO; /* one stream, or damaged: the usual reader says so */

    if (index_path == NULL) {
        if (!plan_cuts(s, (long long)first_end, min_ranges, range_bytes, next_scanned_cut, NULL))
            return WT_SPLIT_NO;
        return s->count >= 2 ? WT_SPLIT_YES : WT_SPLIT_NO;
    }
    struct index_offsets ix = {NULL, 0};
    enum wt_split_plan plan = WT_SPLIT_ERROR;
    if (read_index(index_path, &ix, msgs) &&
        plan_cuts(s, (long long)first_end, min_ranges, range_bytes, next_indexed_cut, &ix) &&
        check_index(s, &ix, (long long)first_end, path, index_path, msgs))
        plan = s->count >= 2 ? WT_SPLIT_YES : WT_SPLIT_NO;
    free(ix.at);
    return plan;
}

enum wt_split_plan wt_dump_split_plan(struct wt_dump_split *s, const char *path,
                                      const char *index_path, size_t min_ranges,
                                      long long range_bytes, struct wt_bytes *msgs)
{
    memset(s, 0, sizeof *s);
    s->fd = -1;
    if (strcmp(path, "-") == 0)
        return WT_SPLIT_NO;
    s->fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (s->fd < 0 || fstat(s->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        /* Not a regular file, or not readable: the usual reader says why. */
        return WT_SPLIT_NO;
    }
    s->size = (long long)st.st_size;
    char head[64];
    size_t head_len = s->size < (long long)sizeof head ? (size_t)s->size : sizeof head;
    if (head_len < STREAM_MAGIC_LEN || !wt_read_all_at(s->fd, head, head_len, 0))
        return WT_SPLIT_NO;
    if (is_stream_header(head))
        return plan_bzip2(s, path, index_path, min_ranges, range_bytes, msgs);
    if (wt_source_sniff_not_xml(head, head_len) == NULL)
        return plan_xml(s, min_ranges, range_bytes);
    return WT_SPLIT_NO;
}

/* The XML of one range, after the header when it lacks it. */
static int feed_range_start(const struct wt_dump_split *s, size_t i, struct wt_dump_reader *r)
{
    return i == 0 || wt_dump_feed(r, s->header.data, s->header.len, 0);
}

static void feed_range_end(const struct wt_dump_split *s, size_t i, struct wt_dump_reader *r)
{
    if (i + 1 < s->count)
        wt_dump_feed(r, k_closing, sizeof k_closing - 1, 1);
    else
        wt_dump_feed(r, "", 0, 1);
}

static long long count_lines(int fd, long long from, long long to)
{
    char buf[1 << 16];
    long long lines = 0;
    while (from < to) {
        size_t len = to - from < (long long)sizeof buf ? (size_t)(to - from) : sizeof buf;
        if (!wt_read_all_at(fd, buf, len, from))
            break;
        for (const char *p = buf; (p = memchr(p, '\n', (size_t)(buf + len - p))) != NULL; p++)
            lines++;
        from += (long long)len;
    }
    return lines;
}

/* A plain XML part's error at its place in the whole file, as one reader
 * would say it: lines are counted only then. */
struct xml_place {
    const struct wt_dump_split *split;
    size_t range;
};

static void locate_in_file(const struct wt_dump_reader *r, unsigned long *line, long long *byte)
{
    const struct xml_place *at = r->locate_ctx;
    const struct wt_dump_split *s = at->split;
    if (at->range == 0)
        return;
    long long header_lines = 0;
    for (size_t k = 0; k < s->header.len; k++)
        header_lines += s->header.data[k] == '\n';
    long long before = count_lines(s->fd, 0, s->cuts[at->range]);
    *line = (unsigned long)((long long)*line - header_lines + before);
    *byte = *byte - (long long)s->header.len + s->cuts[at->range];
}

static void read_xml_range(const struct wt_dump_split *s, size_t i, struct wt_dump_reader *r)
{
    char *buf = malloc(SCAN_CHUNK);
    if (buf == NULL) {
        wt_bytes_printf(r->msgs, "wttable-dump: %s: out of memory\n", r->name);
        r->status = 2;
        return;
    }
    long long at = s->cuts[i], end = s->cuts[i + 1];
    int going = 1;
    while (going && at < end) {
        size_t len = end - at < SCAN_CHUNK ? (size_t)(end - at) : SCAN_CHUNK;
        if (!wt_read_all_at(s->fd, buf, len, at)) {
            wt_bytes_printf(r->msgs, "wttable-dump: %s: %s\n", r->name,
                            strerror(errno ? errno : EIO));
            r->status = 2;
            going = 0;
            break;
        }
        r->bytes_read += (long long)len;
        going = wt_dump_feed(r, buf, len, 0);
        at += (long long)len;
    }
    if (going)
        feed_range_end(s, i, r);
    free(buf);
}

/* Whether a range's first stream holds whole pages: what a cut must find. */
static int begins_with_page(const char *xml, size_t len)
{
    size_t k = 0;
    while (k < len && (xml[k] == ' ' || xml[k] == '\n' || xml[k] == '\t' || xml[k] == '\r'))
        k++;
    return len - k >= sizeof k_page_tag - 1 && memcmp(xml + k, k_page_tag, sizeof k_page_tag - 1) == 0;
}

/* The next stream start after a damaged one, within the range. */
static size_t skip_damaged(const char *in, size_t at, size_t len)
{
    const char *hit = find_stream_start(in, in + at + 1, in + len);
    return hit != NULL ? (size_t)(hit - in) : len;
}

static void read_bzip2_range(const struct wt_dump_split *s, size_t i, struct wt_dump_reader *r,
                             int keep_going)
{
    long long start = s->cuts[i];
    size_t len = (size_t)(s->cuts[i + 1] - start);
    char *in = malloc(len ? len : 1);
    struct wt_bytes xml = {NULL, 0, 0, 0};
    if (in == NULL || !wt_read_all_at(s->fd, in, len, start)) {
        wt_bytes_printf(r->msgs, "wttable-dump: %s: %s\n", r->name,
                        in == NULL ? "out of memory" : strerror(errno ? errno : EIO));
        r->status = 2;
        free(in);
        return;
    }
    int going = 1;
    size_t at = 0;
    while (going && at < len) {
        size_t used = decompress_stream(in + at, len - at, &xml);
        if (used == 0) {
            size_t next = skip_damaged(in, at, len);
            wt_bytes_printf(r->msgs, "wttable-dump: %s: bytes %lld-%lld: damaged bzip2 stream%s\n",
                            r->name, start + (long long)at, start + (long long)next - 1,
                            keep_going ? ": its pages are skipped" : "");
            if (!keep_going) {
                r->status = 2;
                going = 0;
                break;
            }
            if (r->status < 1)
                r->status = 1;
            at = next;
            continue;
        }
        if (at == 0 && i > 0 && !begins_with_page(xml.data, xml.len)) {
            wt_bytes_printf(r->msgs, "wttable-dump: %s: the bzip2 stream at byte %lld does not "
                            "begin with a page: the file cannot be split (read it with -j 1)\n",
                            r->name, start);
            r->status = 2;
            going = 0;
            break;
        }
        at += used;
        r->bytes_read += (long long)xml.len;
        going = wt_dump_feed(r, xml.data, xml.len, 0);
    }
    if (going)
        feed_range_end(s, i, r);
    wt_bytes_free(&xml);
    free(in);
}

void wt_dump_split_read(const struct wt_dump_split *s, size_t i, struct wt_dump_reader *r,
                        int keep_going)
{
    r->bytes_read = 0;
    r->file_size = s->size;
    struct xml_place place = {s, i};
    if (s->kind == WT_SPLIT_XML) {
        r->where = NULL;
        r->locate = locate_in_file;
        r->locate_ctx = &place;
    }
    if (!wt_dump_begin(r)) {
        wt_dump_end(r);
        return;
    }
    if (feed_range_start(s, i, r)) {
        if (s->kind == WT_SPLIT_XML)
            read_xml_range(s, i, r);
        else
            read_bzip2_range(s, i, r, keep_going);
    }
    wt_dump_end(r);
    r->locate = NULL;
    r->locate_ctx = NULL;
}

void wt_dump_split_free(struct wt_dump_split *s)
{
    if (s->fd >= 0)
        close(s->fd);
    s->fd = -1;
    free(s->cuts);
    s->cuts = NULL;
    s->count = 0;
    wt_bytes_free(&s->header);
}
