// Opt-in (make test-large): texts larger than 4 GiB, to show that no 32-bit
// size survives anywhere.  Needs about 10 GB of memory.
#include <gtest/gtest.h>

#include <string>

#include "wttable_parser.h"

namespace {

const size_t k_large = (size_t{4} << 30) + (size_t{300} << 20); // 4.3 GiB

struct Output {
    wt_buf buf = {nullptr, 0, 0};
    ~Output() { wt_buf_free(&buf); }
};

// Compares the block of `piece` bytes at index i of the output.
void expect_block(const wt_buf &buf, const std::string &piece, size_t i)
{
    ASSERT_LE((i + 1) * piece.size(), buf.len + 1);
    size_t n = std::min(piece.size(), buf.len - i * piece.size());
    EXPECT_EQ(std::string(buf.data + i * piece.size(), n), piece.substr(0, n)) << "block " << i;
}

TEST(Large, ManyLinesPastFourGiBInBothModes)
{
    const std::string block = std::string(30, 'p') + " prose line\n" + "{| a=b\n|- r\n| x || y\n! h\n|} t\n";
    const std::string table_html = "<table a=b>\n<tr r>\n<td>x</td><td>y</td>\n<th>h</th></tr>\n</table> t\n";
    const std::string document_html = std::string(30, 'p') + " prose line\n" + table_html;
    const size_t blocks = k_large / block.size() + 1;
    std::string text;
    text.reserve(blocks * block.size() + 1);
    for (size_t i = 0; i < blocks; i++)
        text += block;
    ASSERT_GT(text.size(), size_t{1} << 32);

    for (int tables_only = 0; tables_only <= 1; tables_only++) {
        SCOPED_TRACE(tables_only ? "tables-only" : "document");
        const std::string &piece = tables_only ? table_html : document_html;
        Output out;
        ASSERT_EQ(wttable_parse_to_html(text.c_str(), &out.buf, tables_only), 1);
        ASSERT_EQ(out.buf.len, blocks * piece.size() - 1); // the final LF goes
        ASSERT_EQ(out.buf.data[out.buf.len], '\0');
        for (size_t i : {size_t{0}, blocks / 3, blocks / 2, blocks - 2, blocks - 1})
            expect_block(out.buf, piece, i);
        // The blocks that straddle 4 GiB of output.
        size_t at_4g = (size_t{1} << 32) / piece.size();
        if (at_4g + 1 < blocks) {
            expect_block(out.buf, piece, at_4g);
            expect_block(out.buf, piece, at_4g + 1);
        }
    }
}

TEST(Large, OneLineLongerThanFourGiB)
{
    // A continuation line in an open cell is copied whole.
    std::string text = "{|\n| a\n";
    text.append(k_large, 'z');
    text += "\n|} end";
    Output out;
    ASSERT_EQ(wttable_parse_to_html(text.c_str(), &out.buf, 1), 1);
    const std::string head = "<table>\n<tr>\n<td>a\n";
    const std::string tail = "</td></tr>\n</table> end";
    ASSERT_EQ(out.buf.len, head.size() + k_large + tail.size());
    EXPECT_EQ(std::string(out.buf.data, head.size()), head);
    EXPECT_EQ(std::string(out.buf.data + out.buf.len - tail.size()), tail);
    EXPECT_EQ(out.buf.data[head.size() + (size_t{1} << 32)], 'z');
}

}  // namespace
