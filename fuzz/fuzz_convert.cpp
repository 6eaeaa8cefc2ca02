// Fuzzes both conversions and the detection with invariants that hold for
// every text: results are never null, the error text is "" or the
// function's own message, a text without a table start line converts to
// its own lines, converting twice gives the same bytes (the second time on
// another code path of the byte classifier), and the HTML is byte for byte
// that of the plain reference converter.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "reference_parser.h"
#include "wttable.h"
#include "wt_detect.h"
#include "wttable_parser.h"
#include "wttable_tables.h"

// The document conversion of a text without tables: each line loses one
// final CR, whitespace-only lines become empty, and one final LF goes.
static std::string lines_only(const char *text)
{
    std::string out;
    const char *p = text;
    while (*p != '\0') {
        const char *lf = strchr(p, '\n');
        const char *end = lf ? lf : p + strlen(p);
        const char *raw_end = end > p && end[-1] == '\r' ? end - 1 : end;
        bool blank = true;
        for (const char *q = p; q < raw_end; q++)
            blank = blank && wt_is_space((unsigned char)*q);
        if (!blank)
            out.append(p, (size_t)(raw_end - p));
        out += '\n';
        p = lf ? lf + 1 : end;
    }
    if (!out.empty())
        out.pop_back();
    return out;
}

struct Conversion {
    std::string html;
    bool failed;
    bool operator==(const Conversion &other) const
    {
        return html == other.html && failed == other.failed;
    }
};

static Conversion convert_checked(const char *(*convert)(const char *), const char *message,
                                  const char *text)
{
    const char *result = convert(text);
    check(result != nullptr);
    const char *error = wttable_last_error();
    check(error != nullptr);
    check(*error == '\0' || (strcmp(error, message) == 0 && *result == '\0'));
    return Conversion{result, *error != '\0'};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string copy(reinterpret_cast<const char *>(data), size);
    const char *text = copy.c_str();

    int has = wttable_has_tables(text);
    check(has == 0 || has == 1);
    check(*wttable_last_error() == '\0');
    check(wttable_detect_has_tables(text) == has);

    Conversion tables = convert_checked(wttable_to_html, "Failed to parse table markup", text);
    Conversion document =
        convert_checked(wttable_parse_document, "Failed to parse document tables", text);
    // The repeat runs on a path picked from the input's size, where it runs.
    int widest = wttable_code_path();
    wttable_force_code_path(WTTABLE_PATH_PLAIN + (int)(size % (size_t)widest));
    check(convert_checked(wttable_to_html, "Failed to parse table markup", text) == tables);
    check(convert_checked(wttable_parse_document, "Failed to parse document tables", text) ==
          document);
    wttable_force_code_path(WTTABLE_PATH_AUTO);
    // Both fail together: only at the nesting limit, which needs tables.
    check(tables.failed == document.failed);
    check(has || !tables.failed);

    std::string reference;
    check(reference_convert(text, true, &reference) == !tables.failed);
    check(tables.failed || reference == tables.html);
    check(reference_convert(text, false, &reference) == !document.failed);
    check(document.failed || reference == document.html);

    if (!has) {
        check(tables.html.empty());
        check(document.html == lines_only(text));
    }

    // The table model renders the converter's bytes, and its records hold.
    static wtt_doc *doc = wtt_new();
    check(doc != nullptr);
    size_t len = strlen(text);
    int rc = wtt_parse(doc, text, len, (unsigned)size & (WTT_SPANS_BLANK | WTT_BR_SPACE));
    check(rc == (tables.failed ? -1 : 1));
    if (rc == 1) {
        size_t n = 0;
        const char *html = wtt_html(doc, 1, &n);
        check(html != nullptr && std::string(html, n) == tables.html);
        html = wtt_html(doc, 0, &n);
        check(html != nullptr && std::string(html, n) == document.html);
        for (size_t t = 0; t < wtt_table_count(doc); t++) {
            const char *record = wtt_table_json(doc, t, &n);
            check(record != nullptr && n > 2 && record[0] == '{' && record[n - 1] == '}');
            check(wtt_table_csv(doc, t, ',', &n) != nullptr);
        }
    }
    check(wtt_parse(doc, text, len, WTT_RAW_WIKITEXT | WTT_WIKITEXT) != 0);
    return 0;
}
