// The growable buffer: growth sequence, null records, failure leaves it as
// it was.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>

#include "alloc_fail.h"
#include "wt_buffer.h"

namespace {

std::string contents(const wt_buf &b)
{
    return b.data ? std::string(b.data, b.len) : std::string();
}

void expect_terminated(const wt_buf &b)
{
    if (b.data == nullptr) {
        EXPECT_EQ(b.len, 0u);
        EXPECT_EQ(b.cap, 0u);
        return;
    }
    EXPECT_LT(b.len, b.cap);
    EXPECT_EQ(b.data[b.len], '\0');
}

TEST(Buffer, InitRoundsUpToTheMinimumCapacity)
{
    const struct {
        size_t asked, cap;
    } cases[] = {{0, 64}, {1, 64}, {63, 64}, {64, 64}, {65, 65}, {4096, 4096}};
    for (const auto &c : cases) {
        wt_buf b;
        wt_buf_init(&b, c.asked);
        EXPECT_EQ(b.cap, c.cap) << c.asked;
        EXPECT_EQ(b.len, 0u);
        EXPECT_EQ(b.data[0], '\0');
        wt_buf_free(&b);
    }
}

TEST(Buffer, GrowthDoublesFromTheCurrentCapacity)
{
    wt_buf b;
    wt_buf_init(&b, 64);
    std::string bytes(2000, 'x');
    wt_buf_append(&b, bytes.data(), 62);
    wt_buf_append(&b, "y", 1);
    EXPECT_EQ(b.cap, 64u);
    EXPECT_EQ(b.len, 63u);
    wt_buf_append(&b, "z", 1); // size needed 65
    EXPECT_EQ(b.cap, 128u);

    wt_buf_reset(&b);
    wt_buf_append(&b, bytes.data(), 64);
    wt_buf_append(&b, bytes.data(), 100);
    EXPECT_EQ(b.cap, 256u);
    wt_buf_append(&b, bytes.data(), 1000);
    EXPECT_EQ(b.cap, 2048u);
    EXPECT_EQ(b.len, 1164u);
    expect_terminated(b);
    wt_buf_free(&b);

    wt_buf odd;
    wt_buf_init(&odd, 100);
    wt_buf_append(&odd, bytes.data(), 150);
    EXPECT_EQ(odd.cap, 200u);
    wt_buf_free(&odd);
}

TEST(Buffer, ZeroedRecordGrowsFrom128)
{
    wt_buf b = {nullptr, 0, 0};
    std::string expected;
    for (int i = 0; i < 300; i++) {
        ASSERT_EQ(wt_buf_append_char(&b, 'a' + i % 26), 1);
        expected.push_back(static_cast<char>('a' + i % 26));
        size_t cap = i < 127 ? 128 : i < 255 ? 256 : 512;
        ASSERT_EQ(b.cap, cap) << "after byte " << i + 1;
    }
    EXPECT_EQ(contents(b), expected);
    expect_terminated(b);
    wt_buf_free(&b);
}

TEST(Buffer, NothingToAddAllocatesNothing)
{
    wt_buf b = {nullptr, 0, 0};
    EXPECT_EQ(wt_buf_append(&b, "abc", 0), 1);
    EXPECT_EQ(wt_buf_append(&b, nullptr, 3), 1);
    EXPECT_EQ(wt_buf_append_str(&b, ""), 1);
    EXPECT_EQ(wt_buf_append_str(&b, nullptr), 1);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);
    EXPECT_STREQ(wt_buf_cstring(&b), "");

    // An empty formatted text still gives the buffer a block of its own.
    EXPECT_EQ(wt_buf_append_printf(&b, "%s", ""), 1);
    EXPECT_EQ(b.cap, 128u);
    EXPECT_EQ(b.len, 0u);
    EXPECT_STREQ(wt_buf_cstring(&b), "");
    wt_buf_free(&b);
}

TEST(Buffer, EnsureGivesAFirstBlockThatReadsEmpty)
{
    wt_buf b = {nullptr, 0, 0};
    EXPECT_EQ(wt_buf_ensure(&b, 0), 1);
    EXPECT_EQ(b.cap, 128u);
    EXPECT_EQ(b.len, 0u);
    expect_terminated(b);
    EXPECT_STREQ(wt_buf_cstring(&b), "");

    char *block = b.data;
    EXPECT_EQ(wt_buf_ensure(&b, 0), 1);
    EXPECT_EQ(wt_buf_ensure(&b, 127), 1);
    EXPECT_EQ(b.data, block);
    EXPECT_EQ(b.cap, 128u);
    EXPECT_EQ(wt_buf_ensure(&b, 128), 1);
    EXPECT_EQ(b.cap, 256u);
    EXPECT_EQ(b.len, 0u);
    wt_buf_free(&b);
}

TEST(Buffer, NullRecordResults)
{
    EXPECT_EQ(wt_buf_append(nullptr, "a", 1), 1);
    EXPECT_EQ(wt_buf_append_str(nullptr, "a"), 1);
    EXPECT_EQ(wt_buf_append_char(nullptr, 'a'), 0);
    EXPECT_EQ(wt_buf_append_printf(nullptr, "%d", 1), 0);
    EXPECT_EQ(wt_buf_ensure(nullptr, 1), 0);
    EXPECT_STREQ(wt_buf_cstring(nullptr), "");
    wt_buf_init(nullptr, 10);
    wt_buf_reset(nullptr);
    wt_buf_free(nullptr);
}

TEST(Buffer, FormattedAppend)
{
    wt_buf b = {nullptr, 0, 0};
    EXPECT_EQ(wt_buf_append_printf(&b, "<%s>", "abc"), 1);
    EXPECT_EQ(contents(b), "<abc>");
    EXPECT_EQ(b.len, 5u);
    const char *no_format = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    EXPECT_EQ(wt_buf_append_printf(&b, no_format), 0);
#pragma GCC diagnostic pop

    // Longer than what is left: grows, then formats the same arguments again.
    std::string long_arg(300, 'q');
    EXPECT_EQ(wt_buf_append_printf(&b, "[%s|%d]", long_arg.c_str(), 42), 1);
    EXPECT_EQ(contents(b), "<abc>[" + long_arg + "|42]");
    expect_terminated(b);
    wt_buf_free(&b);
}

TEST(Buffer, FormattedAppendWithAnEncodingErrorChangesNothing)
{
    // A wide character that the "C" locale cannot encode makes the measure
    // negative.
    wt_buf b = {nullptr, 0, 0};
    wt_buf_append_str(&b, "x");
    const wchar_t wide[] = {0x20AC, 0};
    EXPECT_EQ(wt_buf_append_printf(&b, "%ls", wide), 0);
    EXPECT_EQ(contents(b), "x");
    expect_terminated(b);
    wt_buf_free(&b);
}

TEST(Buffer, CharAppendsTheLow8Bits)
{
    wt_buf b = {nullptr, 0, 0};
    EXPECT_EQ(wt_buf_append_char(&b, 0x141), 1);
    EXPECT_EQ(contents(b), "A");
    wt_buf_reset(&b);
    wt_buf_append_char(&b, 0);
    wt_buf_append_char(&b, 0x41);
    EXPECT_EQ(b.len, 2u);
    EXPECT_STREQ(wt_buf_cstring(&b), "");
    wt_buf_free(&b);
}

TEST(Buffer, ResetKeepsTheBlockAndFreeIsIdempotent)
{
    wt_buf b;
    wt_buf_init(&b, 64);
    wt_buf_append(&b, std::string(500, 'x').data(), 500);
    size_t cap = b.cap;
    char *block = b.data;
    wt_buf_reset(&b);
    EXPECT_EQ(b.cap, cap);
    EXPECT_EQ(b.data, block);
    EXPECT_EQ(b.len, 0u);
    EXPECT_STREQ(wt_buf_cstring(&b), "");
    EXPECT_EQ(wt_buf_cstring(&b), block);

    alloc_fail_counts before = alloc_fail_counters();
    wt_buf_free(&b);
    wt_buf_free(&b);
    EXPECT_EQ(alloc_fail_counters().frees - before.frees, 1u);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.cap, 0u);
    EXPECT_STREQ(wt_buf_cstring(&b), "");

    // Usable again after free.
    EXPECT_EQ(wt_buf_append_str(&b, "again"), 1);
    EXPECT_EQ(contents(b), "again");
    wt_buf_free(&b);
}

TEST(Buffer, FailedGrowthLeavesEverythingAsItWas)
{
    wt_buf b;
    wt_buf_init(&b, 64);
    wt_buf_append(&b, std::string(63, 'k').data(), 63);
    const wt_buf saved = b;
    const std::string saved_text = contents(b);

    alloc_fail_after(0);
    EXPECT_EQ(wt_buf_append(&b, "x", 1), 0);
    EXPECT_EQ(wt_buf_append_str(&b, "xy"), 0);
    EXPECT_EQ(wt_buf_append_char(&b, 'x'), 0);
    EXPECT_EQ(wt_buf_append_printf(&b, "%s", "x"), 0);
    EXPECT_EQ(wt_buf_ensure(&b, 1), 0);
    alloc_fail_never();

    EXPECT_EQ(b.data, saved.data);
    EXPECT_EQ(b.len, saved.len);
    EXPECT_EQ(b.cap, saved.cap);
    EXPECT_EQ(contents(b), saved_text);
    expect_terminated(b);
    EXPECT_EQ(wt_buf_append_char(&b, 'x'), 1);
    EXPECT_EQ(contents(b), saved_text + "x");
    wt_buf_free(&b);

    // A failed init leaves an empty buffer without a block that still works.
    wt_buf fresh;
    alloc_fail_after(0);
    wt_buf_init(&fresh, 64);
    alloc_fail_never();
    EXPECT_EQ(fresh.data, nullptr);
    EXPECT_EQ(fresh.cap, 0u);
    EXPECT_STREQ(wt_buf_cstring(&fresh), "");
    EXPECT_EQ(wt_buf_append_str(&fresh, "ok"), 1);
    EXPECT_EQ(fresh.cap, 128u);
    wt_buf_free(&fresh);
}

TEST(Buffer, SizesThatWouldOverflowAreRefused)
{
    wt_buf b;
    wt_buf_init(&b, 64);
    wt_buf_append_str(&b, "abc");
    const wt_buf saved = b;
    alloc_fail_counts before = alloc_fail_counters();

    // len + k + 1 wraps.
    EXPECT_EQ(wt_buf_ensure(&b, SIZE_MAX), 0);
    EXPECT_EQ(wt_buf_ensure(&b, SIZE_MAX - 3), 0);
    EXPECT_EQ(wt_buf_append(&b, "x", SIZE_MAX - 2), 0);
    // The sum fits but no doubling of 64 reaches it without wrapping.
    EXPECT_EQ(wt_buf_ensure(&b, SIZE_MAX - 10), 0);
    EXPECT_EQ(wt_buf_ensure(&b, SIZE_MAX / 2 + 10), 0);

    EXPECT_EQ(alloc_fail_counters().reallocs, before.reallocs);
    EXPECT_EQ(b.data, saved.data);
    EXPECT_EQ(b.len, saved.len);
    EXPECT_EQ(b.cap, saved.cap);
    EXPECT_EQ(contents(b), "abc");
    wt_buf_free(&b);
}

}  // namespace
