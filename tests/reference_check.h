// What the tests that compare the fast converter with the reference share:
// the comparison in both modes and a small deterministic generator.
#ifndef WTTABLE_TESTS_REFERENCE_CHECK_H
#define WTTABLE_TESTS_REFERENCE_CHECK_H

#include <gtest/gtest.h>

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "case_file.h"
#include "reference_parser.h"
#include "wttable_parser.h"

inline bool fast_convert(const char *text, bool tables_only, std::string *html)
{
    wt_buf buf = {nullptr, 0, 0};
    int rc = wttable_parse_to_html(text, &buf, tables_only ? 1 : 0);
    html->assign(wt_buf_cstring(&buf), buf.len);
    wt_buf_free(&buf);
    return rc == 1;
}

// Both modes give the reference's bytes; `label` goes in front of the
// input in a failure message.
inline void expect_same_as_reference(const char *text, const std::string &label)
{
    for (bool tables_only : {true, false}) {
        std::string fast, reference;
        bool fast_ok = fast_convert(text, tables_only, &fast);
        bool reference_ok = reference_convert(text, tables_only, &reference);
        ASSERT_EQ(fast_ok, reference_ok) << escaped(text);
        ASSERT_EQ(escaped(fast), escaped(reference))
            << label << "input " << escaped(text)
            << (tables_only ? " (tables-only)" : " (document)");
    }
}

// xorshift64: the same texts on every run and platform.
struct Random {
    uint64_t state;
    uint64_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    size_t below(size_t n) { return (size_t)(next() % n); }
};

#endif
