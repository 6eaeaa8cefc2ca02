// Fuzzes what the dump tool adds around the library on untrusted page
// text: the raw-page preparation, the split into top-level tables, the JSON
// writer and the whole record.  Invariants: the tables' HTML joined with LF
// is the conversion of the whole prepared text; restoring the masks gives
// back every "|" and "!" that was masked and leaves no mask byte; every JSON
// string written is valid JSON and valid UTF-8; the record of the text (with
// the input as its title too) is one line, with as many tables as the split
// found, or "error" exactly where the conversion fails.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "wt_bytes.h"
#include "wt_markup.h"
#include "wt_raw.h"
#include "wt_record.h"
#include "wttable.h"

static struct wt_raw s_raw;

static size_t utf8_length(const unsigned char *s, size_t n)
{
    unsigned char c = s[0];
    size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || len > n)
        return 0;
    for (size_t i = 1; i < len; i++)
        if ((s[i] & 0xC0) != 0x80)
            return 0;
    if ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] >= 0xA0) ||
        (c == 0xF0 && s[1] < 0x90) || (c == 0xF4 && s[1] >= 0x90))
        return 0;
    return len;
}

// A JSON string: quotes, escapes of the RFC's forms, no raw control byte,
// valid UTF-8.
static bool valid_json_string(const char *p, size_t n)
{
    const unsigned char *s = (const unsigned char *)p;
    if (n < 2 || s[0] != '"' || s[n - 1] != '"')
        return false;
    for (size_t i = 1; i < n - 1;) {
        if (s[i] < 0x20 || s[i] == '"')
            return false;
        if (s[i] == '\\') {
            if (i + 1 >= n - 1)
                return false;
            unsigned char e = s[i + 1];
            if (e == 'u') {
                if (i + 6 > n - 1)
                    return false;
                for (size_t k = 2; k < 6; k++)
                    if (!strchr("0123456789abcdef", s[i + k]))
                        return false;
                i += 6;
            } else if (strchr("\"\\/bfnrt", e) != nullptr) {
                i += 2;
            } else {
                return false;
            }
            continue;
        }
        size_t len = utf8_length(s + i, n - 1 - i);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(strlen(text.c_str())); // the dump's texts hold no NUL

    check(wt_raw_prepare(&s_raw, text.data(), text.size()));
    std::string prepared(s_raw.text, s_raw.len);
    check(strlen(s_raw.text) == s_raw.len);

    // In the caller's buffer, the same text, masks and line shifts.
    {
        static struct wt_raw in_place;
        size_t len = text.size(), cap = len + 1;
        char *buf = static_cast<char *>(malloc(cap));
        check(buf != nullptr);
        memcpy(buf, text.c_str(), cap);
        check(wt_raw_prepare_in_place(&in_place, &buf, &len, &cap));
        check(len == s_raw.len && memcmp(buf, s_raw.text, len + 1) == 0);
        check(in_place.masked == s_raw.masked && in_place.mask_bar == s_raw.mask_bar &&
              in_place.mask_bang == s_raw.mask_bang && in_place.gap_count == s_raw.gap_count);
        for (size_t line = 1; line < 64; line++)
            check(wt_raw_original_line(&in_place, line) == wt_raw_original_line(&s_raw, line));
        free(buf);
    }

    // Masks: each mask byte stands for one masked "|" or "!", and restoring
    // turns every one back.
    size_t masks = 0;
    for (char c : prepared)
        masks += s_raw.masked > 0 && (c == (char)s_raw.mask_bar || c == (char)s_raw.mask_bang);
    check(masks == s_raw.masked);
    const char *restored_text = wt_raw_restore(&s_raw, prepared.c_str(), prepared.size());
    check(restored_text != nullptr);
    std::string restored(restored_text, prepared.size());
    for (size_t i = 0; i < prepared.size(); i++) {
        char c = prepared[i];
        if (s_raw.masked > 0 && c == (char)s_raw.mask_bar)
            check(restored[i] == '|');
        else if (s_raw.masked > 0 && c == (char)s_raw.mask_bang)
            check(restored[i] == '!');
        else
            check(restored[i] == c);
    }

    // The whole conversion, restored.
    const char *whole_html = wttable_to_html(prepared.c_str());
    bool failed = *whole_html == '\0' && *wttable_last_error() != '\0';
    std::string whole = wt_raw_restore(&s_raw, whole_html, strlen(whole_html));

    // Table by table.
    struct wt_line_walk walk;
    struct wt_table_span span;
    wt_line_walk_init(&walk, prepared.data(), prepared.size());
    std::string joined;
    struct wt_bytes json = {nullptr, 0, 0, 0};
    int found, tables = 0;
    while ((found = wt_next_table(&walk, &span)) == 1) {
        check(span.start < span.end || span.end == prepared.size());
        std::string slice = prepared.substr(span.start, span.end - span.start);
        const char *html = wttable_to_html(slice.c_str());
        std::string part = wt_raw_restore(&s_raw, html, strlen(html));
        if (tables++ > 0)
            joined += '\n';
        joined += part;
        json.len = 0;
        wt_bytes_json_string(&json, part.data(), part.size());
        check(!json.failed && valid_json_string(json.data, json.len));
    }
    check((found < 0) == failed);
    if (!failed)
        check(joined == whole);
    wt_bytes_free(&json);

    // The record the dump tool writes for this text.
    static struct wt_record_writer s_writer;
    static bool s_writer_ready;
    if (!s_writer_ready) {
        wt_record_writer_init(&s_writer);
        s_writer_ready = true;
    }
    struct wt_revision rev;
    memset(&rev, 0, sizeof rev);
    wt_bytes_append(&rev.title, data, size);
    wt_bytes_append(&rev.text, text.data(), text.size());
    rev.has_timestamp = 1;
    struct wt_record_options options;
    memset(&options, 0, sizeof options);
    options.format = WT_RECORD_HTML;
    options.all_pages = 1;
    options.quiet = 1;
    struct wt_bytes line = {nullptr, 0, 0, 0};
    struct wt_bytes msgs = {nullptr, 0, 0, 0};
    unsigned long long written = 0;
    enum wt_record_outcome outcome =
        wt_record_write(&s_writer, &options, "fuzz", &rev, &line, &msgs, &written);
    check(outcome == (failed ? WT_RECORD_FAILED : WT_RECORD_WRITTEN));
    check(written == (failed ? 0u : (unsigned long long)tables));
    check(line.len > 2 && line.data[line.len - 1] == '\n' &&
          memchr(line.data, '\n', line.len - 1) == nullptr);
    static const char k_start[] = "{\"id\": null, \"ns\": 0, \"title\": \"";
    check(memcmp(line.data, k_start, sizeof k_start - 1) == 0);

    // The records with the HTML: the same outcome, one line.
    options.format = WT_RECORD_BOTH;
    line.len = 0;
    outcome = wt_record_write(&s_writer, &options, "fuzz", &rev, &line, &msgs, &written);
    check(outcome == (failed ? WT_RECORD_FAILED : WT_RECORD_WRITTEN));
    check(line.len > 2 && line.data[line.len - 1] == '\n' &&
          memchr(line.data, '\n', line.len - 1) == nullptr);
    wt_bytes_free(&line);
    wt_bytes_free(&msgs);
    wt_bytes_free(&rev.title);
    wt_bytes_free(&rev.text);

    // The JSON writer on the raw bytes themselves.
    struct wt_bytes raw_json = {nullptr, 0, 0, 0};
    wt_bytes_json_string(&raw_json, reinterpret_cast<const char *>(data), size);
    check(valid_json_string(raw_json.data, raw_json.len));
    wt_bytes_free(&raw_json);
    return 0;
}
