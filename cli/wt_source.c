#define _GNU_SOURCE

#include "wt_source.h"

#include <archive.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "wt_stdfds.h"

enum { BLOCK_SIZE = 1 << 20, BLOCKS = 4 };

struct block {
    char *data;
    ssize_t len; /* bytes, 0 at the end, -1 on an error */
};

struct wt_source {
    struct archive *archive;
    int fd;
    long long size;
    pthread_t thread;
    int started;

    pthread_mutex_t lock;
    pthread_cond_t filled;
    pthread_cond_t emptied;
    struct block blocks[BLOCKS];
    size_t head;     /* the next block the reader takes */
    size_t count;    /* blocks filled and not yet taken */
    int consuming;   /* the reader holds the block before head */
    int stop;
    volatile long long position;
    char raw[1 << 16];       /* compressed bytes handed to libarchive */
    long long delivered;     /* bytes read from fd so far */
    int raw_at_end;          /* read() returned 0 */
    char compression[16];
    char error[256];
};

static void set_archive_error(struct wt_source *src)
{
    const char *msg = archive_error_string(src->archive);
    snprintf(src->error, sizeof src->error, "%s", msg != NULL ? msg : "read error");
}

static la_ssize_t read_raw(struct archive *a, void *arg, const void **buffer)
{
    struct wt_source *src = arg;
    for (;;) {
        ssize_t n = read(src->fd, src->raw, sizeof src->raw);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            archive_set_error(a, errno, "%s", strerror(errno));
            return -1;
        }
        if (n == 0)
            src->raw_at_end = 1;
        src->delivered += n;
        *buffer = src->raw;
        return n;
    }
}

/* A compressed stream has ended: anything after it (another format, plain
 * XML) would be dropped without a word by the decompressor, so it is an
 * error.  Concatenated streams of one compression are read by libarchive
 * and never reach here. */
static int trailing_data(struct wt_source *src)
{
    if (archive_filter_count(src->archive) < 2)
        return 0;
    long long consumed = archive_filter_bytes(src->archive, -1);
    if (consumed < src->delivered)
        return 1;
    if (src->raw_at_end)
        return 0;
    char probe;
    ssize_t n;
    while ((n = read(src->fd, &probe, 1)) < 0 && errno == EINTR)
        ;
    return n > 0;
}

/* The decompressing thread: fills free blocks until the end or an error. */
static void *decompress(void *arg)
{
    struct wt_source *src = arg;
    size_t slot = 0;
    for (;;) {
        pthread_mutex_lock(&src->lock);
        while (!src->stop && src->count + (size_t)src->consuming >= BLOCKS)
            pthread_cond_wait(&src->emptied, &src->lock);
        int stop = src->stop;
        pthread_mutex_unlock(&src->lock);
        if (stop)
            return NULL;

        struct block *b = &src->blocks[slot];
        ssize_t len = 0;
        while (len < BLOCK_SIZE) {
            la_ssize_t n =
                archive_read_data(src->archive, b->data + len, (size_t)(BLOCK_SIZE - len));
            if (n < 0) {
                set_archive_error(src);
                len = -1;
                break;
            }
            if (n == 0) {
                if (trailing_data(src)) {
                    snprintf(src->error, sizeof src->error,
                             "data after the end of the %s stream at byte %lld: "
                             "not part of the dump",
                             archive_filter_name(src->archive, 0),
                             (long long)archive_filter_bytes(src->archive, -1));
                    len = -1;
                }
                break;
            }
            len += n;
        }
        if (len > 0 && src->compression[0] == '\0') {
            const char *name = archive_filter_name(src->archive, 0);
            snprintf(src->compression, sizeof src->compression, "%s",
                     name == NULL || strcmp(name, "none") == 0 ? "none" : name);
        }
        src->position = archive_filter_bytes(src->archive, -1);
        b->len = len;

        pthread_mutex_lock(&src->lock);
        src->count++;
        pthread_cond_signal(&src->filled);
        pthread_mutex_unlock(&src->lock);
        slot = (slot + 1) % BLOCKS;
        if (len <= 0)
            return NULL;
    }
}

struct wt_source *wt_source_open(const char *path, char *error, size_t error_size)
{
    struct wt_source *src = calloc(1, sizeof *src);
    if (src == NULL) {
        snprintf(error, error_size, "%s", strerror(ENOMEM));
        return NULL;
    }
    src->size = -1;
    if (strcmp(path, "-") == 0) {
        src->fd = wt_stdin_was_closed() ? -1 : 0;
        if (src->fd < 0)
            errno = EBADF;
    } else {
        src->fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    }
    struct stat st;
    if (src->fd < 0 || fstat(src->fd, &st) != 0) {
        snprintf(error, error_size, "%s", strerror(errno));
        if (src->fd > 0)
            close(src->fd);
        free(src);
        return NULL;
    }
    if (S_ISDIR(st.st_mode)) {
        snprintf(error, error_size, "%s", strerror(EISDIR));
        if (src->fd > 0)
            close(src->fd);
        free(src);
        return NULL;
    }
    if (S_ISREG(st.st_mode))
        src->size = (long long)st.st_size;

    src->archive = archive_read_new();
    for (int i = 0; i < BLOCKS; i++)
        src->blocks[i].data = malloc(BLOCK_SIZE);
    int ok = src->archive != NULL;
    for (int i = 0; ok && i < BLOCKS; i++)
        ok = src->blocks[i].data != NULL;
    if (!ok) {
        snprintf(error, error_size, "%s", strerror(ENOMEM));
        wt_source_close(src);
        return NULL;
    }
    /* Exactly the compressions a dump comes in; anything else reaches the
     * XML check as it is and is named there. */
    archive_read_support_filter_bzip2(src->archive);
    archive_read_support_filter_gzip(src->archive);
    archive_read_support_filter_xz(src->archive);
    archive_read_support_filter_zstd(src->archive);
    archive_read_support_format_raw(src->archive);
    struct archive_entry *entry;
    if (archive_read_open(src->archive, src, NULL, read_raw, NULL) != ARCHIVE_OK) {
        set_archive_error(src);
        snprintf(error, error_size, "%s", src->error);
        wt_source_close(src);
        return NULL;
    }
    int r = archive_read_next_header(src->archive, &entry);
    if (r != ARCHIVE_OK && r != ARCHIVE_EOF) {
        set_archive_error(src);
        snprintf(error, error_size, "%s", src->error);
        wt_source_close(src);
        return NULL;
    }
    pthread_mutex_init(&src->lock, NULL);
    pthread_cond_init(&src->filled, NULL);
    pthread_cond_init(&src->emptied, NULL);
    if (r == ARCHIVE_EOF) {
        /* An empty input: one end block, no thread. */
        src->blocks[0].len = 0;
        src->count = 1;
        snprintf(src->compression, sizeof src->compression, "none");
        return src;
    }
    if (pthread_create(&src->thread, NULL, decompress, src) != 0) {
        snprintf(error, error_size, "cannot start a thread: %s", strerror(errno));
        wt_source_close(src);
        return NULL;
    }
    src->started = 1;
    return src;
}

ssize_t wt_source_read(struct wt_source *src, const char **block)
{
    pthread_mutex_lock(&src->lock);
    if (src->consuming) {
        src->consuming = 0;
        pthread_cond_signal(&src->emptied);
    }
    while (src->count == 0)
        pthread_cond_wait(&src->filled, &src->lock);
    struct block *b = &src->blocks[src->head];
    ssize_t len = b->len;
    if (len > 0) {
        src->head = (src->head + 1) % BLOCKS;
        src->count--;
        src->consuming = 1;
    }
    /* The end and an error stay where they are: every later call sees them. */
    pthread_mutex_unlock(&src->lock);
    *block = b->data;
    return len;
}

const char *wt_source_error(const struct wt_source *src)
{
    return src->error;
}

const char *wt_source_compression(const struct wt_source *src)
{
    return src->compression[0] != '\0' ? src->compression : "none";
}

long long wt_source_position(const struct wt_source *src)
{
    return src->position;
}

long long wt_source_size(const struct wt_source *src)
{
    return src->size;
}

void wt_source_close(struct wt_source *src)
{
    if (src == NULL)
        return;
    if (src->started) {
        pthread_mutex_lock(&src->lock);
        src->stop = 1;
        pthread_cond_signal(&src->emptied);
        pthread_mutex_unlock(&src->lock);
        pthread_join(src->thread, NULL);
        pthread_mutex_destroy(&src->lock);
        pthread_cond_destroy(&src->filled);
        pthread_cond_destroy(&src->emptied);
    }
    if (src->archive != NULL)
        archive_read_free(src->archive);
    if (src->fd > 0)
        close(src->fd);
    for (int i = 0; i < BLOCKS; i++)
        free(src->blocks[i].data);
    free(src);
}

const char *wt_source_sniff_not_xml(const char *block, size_t len)
{
    const unsigned char *s = (const unsigned char *)block;
    static const struct {
        const char *magic;
        size_t len;
        const char *what;
    } k_formats[] = {
        {"PK\x03\x04", 4, "it looks like a zip archive, which is not supported"},
        {"7z\xBC\xAF\x27\x1C", 6, "it looks like a 7-Zip archive, which is not supported"},
        {"Rar!", 4, "it looks like a RAR archive, which is not supported"},
        {"\x04\x22\x4D\x18", 4, "it looks like lz4-compressed data, which is not supported"},
        {"LZIP", 4, "it looks like lzip-compressed data, which is not supported"},
        {"\x1F\x9D", 2, "it looks like compress (.Z) data, which is not supported"},
        {"%PDF", 4, "it looks like a PDF document"},
        {"\x7F" "ELF", 4, "it looks like an executable"},
    };
    if (len == 0)
        return NULL;
    for (size_t i = 0; i < sizeof k_formats / sizeof k_formats[0]; i++)
        if (len >= k_formats[i].len && memcmp(s, k_formats[i].magic, k_formats[i].len) == 0)
            return k_formats[i].what;
    if (len >= 262 && memcmp(s + 257, "ustar", 5) == 0)
        return "it looks like a tar archive, which is not supported";
    /* UTF-16 either way, with or without a byte order mark. */
    if (len >= 2 && ((s[0] == 0xFE && s[1] == 0xFF) || (s[0] == 0xFF && s[1] == 0xFE) ||
                     (s[0] == '<' && s[1] == 0) || (s[0] == 0 && s[1] == '<')))
        return NULL;
    size_t i = 0;
    if (len >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF)
        i = 3;
    while (i < len && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n'))
        i++;
    if (i == len || s[i] == '<')
        return NULL;
    return "it does not begin with \"<\"";
}
