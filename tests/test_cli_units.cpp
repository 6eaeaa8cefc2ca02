// The programs' shared units where a fault would not show in their output.
#include <gtest/gtest.h>

#include <stdint.h>

#include "wt_bytes.h"

// Appends that cannot be made must say so: a record cut short would
// otherwise pass as whole.
TEST(Bytes, AnAppendThatCannotBeMadeMarksTheStringFailed)
{
    struct wt_bytes b = {nullptr, 0, 0, 0};
    wt_bytes_append_str(&b, "kept");
    wt_bytes_json_string(&b, "x", SIZE_MAX / 2); // returns before reading
    EXPECT_EQ(b.failed, 1);
    EXPECT_STREQ(b.data, "kept");
    b.failed = 0;
    wt_bytes_append(&b, "x", SIZE_MAX - 8);
    EXPECT_EQ(b.failed, 1);
    EXPECT_EQ(b.len, 4u);
    wt_bytes_free(&b);
}

TEST(Bytes, JsonStringsAreValidWhateverTheBytes)
{
    struct wt_bytes b = {nullptr, 0, 0, 0};
    wt_bytes_json_string(&b, "a\"\\\n\x01\xff\xc3\xa9", 8);
    EXPECT_STREQ(b.data, "\"a\\\"\\\\\\n\\u0001\xEF\xBF\xBD\xC3\xA9\"");
    EXPECT_EQ(b.failed, 0);
    wt_bytes_free(&b);
}
