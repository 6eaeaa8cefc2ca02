// The converter and the detector, called in-process.
#include <gtest/gtest.h>

#include <string>

#include "case_file.h"
#include "wt_detect.h"
#include "wttable_parser.h"

namespace {

struct Result {
    int rc;
    std::string html;
};

Result convert(const std::string &text, int tables_only)
{
    wt_buf buf = {nullptr, 0, 0};
    int rc = wttable_parse_to_html(text.c_str(), &buf, tables_only);
    Result r{rc, std::string(buf.data ? buf.data : "", buf.len)};
    wt_buf_free(&buf);
    return r;
}

std::string repeat(const std::string &unit, size_t count)
{
    std::string out;
    out.reserve(unit.size() * count);
    for (size_t i = 0; i < count; i++)
        out += unit;
    return out;
}

std::string table_html(const std::string &cells_html)
{
    return "<table>\n<tr>\n" + cells_html + "</tr>\n</table>";
}

TEST(ParserCases, EveryCaseOfTheTableInBothModes)
{
    std::string error;
    std::vector<ConversionCase> cases = load_cases(WTTABLE_CASES_DIR "/conversion.txt", &error);
    ASSERT_EQ(error, "");
    ASSERT_GT(cases.size(), 100u);
    for (const ConversionCase &c : cases) {
        SCOPED_TRACE("case '" + c.name + "' at line " + std::to_string(c.line));
        ASSERT_TRUE(c.has_tables || c.has_document);
        if (c.has_tables) {
            Result r = convert(c.input, 1);
            EXPECT_EQ(r.rc, 1);
            EXPECT_EQ(escaped(r.html), escaped(c.tables)) << "tables-only mode";
        }
        if (c.has_document) {
            Result r = convert(c.input, 0);
            EXPECT_EQ(r.rc, 1);
            EXPECT_EQ(escaped(r.html), escaped(c.document)) << "document mode";
        }
    }
}

TEST(ParserArguments, NullBufferFailsAndNullTextLeavesTheBufferAlone)
{
    EXPECT_EQ(wttable_parse_to_html("{|\n|}", nullptr, 1), 0);

    wt_buf buf = {nullptr, 0, 0};
    wt_buf_append_str(&buf, "kept\n");
    EXPECT_EQ(wttable_parse_to_html(nullptr, &buf, 0), 1);
    EXPECT_EQ(std::string(buf.data, buf.len), "kept\n");

    // The final trim looks at the buffer's last byte, whoever wrote it.
    EXPECT_EQ(wttable_parse_to_html("", &buf, 0), 1);
    EXPECT_EQ(std::string(buf.data, buf.len), "kept");

    // Output is appended to what the buffer holds.
    EXPECT_EQ(wttable_parse_to_html("{|\n|}", &buf, 1), 1);
    EXPECT_EQ(std::string(buf.data, buf.len), "kept<table>\n<tr><td></td></tr>\n</table>");
    wt_buf_free(&buf);
}

TEST(ParserLimits, SixtyFourNestedTablesCloseAndTheSixtyFifthFails)
{
    std::string closes;
    for (int i = 0; i < 64; i++)
        closes += "<tr><td></td></tr>\n</table>\n";
    closes.pop_back();
    Result ok = convert(repeat("{|\n", 64), 1);
    EXPECT_EQ(ok.rc, 1);
    EXPECT_EQ(ok.html, repeat("<table>\n", 64) + closes);

    for (int tables_only = 0; tables_only <= 1; tables_only++) {
        Result failed = convert("before\n" + repeat("{|\n", 65) + "|}\n", tables_only);
        EXPECT_EQ(failed.rc, 0);
        // Exactly what stood before the 65th start line, final LF included.
        EXPECT_EQ(failed.html, (tables_only ? "" : "before\n") + repeat("<table>\n", 64));
    }

    // Tables that close again do not count against the limit.
    Result sequential = convert(repeat("{|\n|}\n", 200), 1);
    EXPECT_EQ(sequential.rc, 1);
}

TEST(ParserLimits, ColonCountHasNoLimit)
{
    const size_t colons = 200000;
    Result r = convert(std::string(colons, ':') + "{|\n|}", 1);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.html, repeat("<dl><dd>", colons) + "<table>\n<tr><td></td></tr>\n</table>" +
                          repeat("</dd></dl>", colons));
}

TEST(ParserLimits, RowAttributesAreCutAfter1022Bytes)
{
    for (size_t length : {1021u, 1022u, 1023u, 1030u}) {
        SCOPED_TRACE(length);
        std::string attrs(length, 'a');
        Result r = convert("{|\n|- " + attrs + "\n| x\n|}", 1);
        size_t kept = length < 1022 ? length : 1022;
        EXPECT_EQ(r.html, "<table>\n<tr " + attrs.substr(0, kept) + ">\n<td>x</td></tr>\n</table>");
    }
}

TEST(ParserLimits, DataCellTextIsCutAfter16383Bytes)
{
    std::string text(16383, 'x');
    EXPECT_EQ(convert("{|\n|" + text + "\n|}", 1).html, table_html("<td>" + text + "</td>"));
    EXPECT_EQ(convert("{|\n|" + text + "yz\n|}", 1).html, table_html("<td>" + text + "</td>"));

    // The cut falls between the bars of "||": the bar left over is the
    // piece's attribute separator, so the text becomes attributes.
    std::string shorter(16382, 'x');
    EXPECT_EQ(convert("{|\n|" + shorter + "||y\n|}", 1).html,
              table_html("<td " + shorter + "></td>"));

    // Captions are cut the same way.
    EXPECT_EQ(convert("{|\n|+" + text + "yz\n|}", 1).html,
              "<table>\n<caption>" + text + "</caption><tr><td></td></tr>\n</table>");
}

TEST(ParserLimits, HeaderPairsCountTwoBytesAtTheCellTextLimit)
{
    struct {
        size_t text_len;
        std::string cells;
    } cases[] = {
        // The "||" does not fit, "k" takes the last place, "z" is dropped.
        {16382, "<th>" + std::string(16382, 'x') + "k</th>"},
        // The "||" fills the text to the limit: one cell, the pair dropped.
        {16381, "<th>" + std::string(16381, 'x') + "</th>"},
        {16380, "<th>" + std::string(16380, 'x') + "</th><th>k</th>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text_len);
        EXPECT_EQ(convert("{|\n!" + std::string(c.text_len, 'x') + "!!kz\n|}", 1).html,
                  table_html(c.cells));
    }
}

std::string numbered_cells(size_t count, const char *separator)
{
    std::string line;
    for (size_t i = 0; i < count; i++)
        line += (i ? separator : "") + std::to_string(i);
    return line;
}

std::string numbered_cells_html(size_t count, const char *tag)
{
    std::string html;
    for (size_t i = 0; i < count; i++)
        html += std::string("<") + tag + ">" + std::to_string(i) + "</" + tag + ">";
    return html;
}

TEST(ParserLimits, AtMost256CellsALine)
{
    for (size_t count : {255u, 256u}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(convert("{|\n|" + numbered_cells(count, "||") + "\n|}", 1).html,
                  table_html(numbered_cells_html(count, "td")));
    }
    // The text behind the 256th separator is dropped without trace.
    EXPECT_EQ(convert("{|\n|" + numbered_cells(258, "||") + "\n|}", 1).html,
              table_html(numbered_cells_html(256, "td")));
    EXPECT_EQ(convert("{|\n!" + numbered_cells(300, "!!") + "\n|}", 1).html,
              table_html(numbered_cells_html(256, "th")));
    // The next line is handled as usual.
    EXPECT_EQ(convert("{|\n|" + numbered_cells(257, "||") + "\n| z\n|}", 1).html,
              table_html(numbered_cells_html(256, "td") + "\n<td>z</td>"));
}

TEST(ParserLimits, LongLinesOutsideAndInsideTables)
{
    std::string line(3000000, 'a');
    EXPECT_EQ(convert(line + "\n" + line, 0).html, line + "\n" + line);
    EXPECT_EQ(convert("{| " + line + "\n|} " + line, 1).html,
              "<table " + line + ">\n<tr><td></td></tr>\n</table> " + line);
    EXPECT_EQ(convert("{|\n| a\n" + line + "\n|}", 1).html,
              table_html("<td>a\n" + line + "</td>"));
}

// Texts that stress one rule each, 16 MB or a million cells: a quadratic
// step anywhere would not finish within the test's time limit.
TEST(ParserLimits, PathologicalTextsConvert)
{
    const size_t size = 16u << 20;

    std::string bars = "{|\n|" + std::string(size, '|') + "\n|}";
    Result r = convert(bars, 1);
    // The cell text is cut at 16383 bytes: 8191 separators and one bar.
    EXPECT_EQ(r.html, table_html(repeat("<td></td>", 256)));

    std::string links = "{|\n| " + repeat("[[|", size / 3) + "\n|}";
    r = convert(links, 1);
    EXPECT_EQ(r.html.substr(0, 20), "<table>\n<tr>\n<td>[[|");

    std::string guarded_lines = "{|\n" + repeat("| " + std::string(60, '[') + " a | b [[ | c\n", size / 76) + "|}";
    r = convert(guarded_lines, 1);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.html.find("<td "), std::string::npos); // every bar is guarded

    std::string block = repeat("{|\n| x\n", 64) + repeat("|}\n", 64);
    r = convert(repeat(block, size / block.size()), 1);
    EXPECT_EQ(r.rc, 1);

    std::string cell = "{|\n| " + std::string(size, 'x') + "\n" + repeat(std::string(63, 'y') + "\n", size / 64) + "|}";
    r = convert(cell, 1);
    // The cell text keeps the SPACE behind the marker and 16382 bytes of x.
    EXPECT_EQ(r.html.size(), 8 + 5 + 4 + 16382 + (size / 64) * 64 + 5 + 6 + 8);

    // "|" and 255 separators: 255 empty cells a line.
    const size_t lines = 1000000 / 255;
    std::string empty_cells = "{|\n" + repeat("|" + repeat("||", 255) + "\n", lines) + "|}";
    r = convert(empty_cells, 1);
    EXPECT_EQ(r.html, "<table>\n<tr>\n" + repeat("<td></td>" + repeat("<td></td>", 254) + "\n", lines - 1) +
                          "<td></td>" + repeat("<td></td>", 254) + "</tr>\n</table>");
}

struct DetectionCase {
    const char *text;
    int expected;
};

TEST(Detection, TableStartLines)
{
    const DetectionCase cases[] = {
        {"{|", 1},
        {"::{|", 1},
        {" :\t {|", 1},
        {"\r{|", 1},
        {"\t\t{|style=\"x\"", 1},
        {"{|}", 1},
        {"a\nb\n  {|", 1},
        {"Intro\r\n\r\n{|\r\n| x\r\n|}\r\n", 1},
        // Detected although the conversion opens no table for them.
        {":\r{|", 1},
        {": \r{|", 1},
        {":: \t\r {| a", 1},
        {": :{|", 0},
        {"x {|", 0},
        {"{ |", 0},
        {"{{|", 0},
        {"!{|", 0},
        {":::", 0},
        {"\n\n", 0},
        {"", 0},
        {"\v{|", 0},
        {"\f{|", 0},
        {"\xa0{|", 0},
        {"\xef\xbb\xbf{|", 0},
        {"{\n|", 0},
        {"a {|\nb\n:", 0},
        {"  \n\t\n{", 0},
    };
    for (const DetectionCase &c : cases) {
        SCOPED_TRACE(escaped(c.text));
        EXPECT_EQ(wttable_detect_has_tables(c.text), c.expected);
    }
    EXPECT_EQ(wttable_detect_has_tables(nullptr), 0);
    EXPECT_EQ(wttable_detect_has_tables(repeat("{|\n", 65).c_str()), 1);
}

TEST(Detection, AgreesWithTheConversionOnEveryCase)
{
    std::string error;
    std::vector<ConversionCase> cases = load_cases(WTTABLE_CASES_DIR "/conversion.txt", &error);
    ASSERT_EQ(error, "");
    for (const ConversionCase &c : cases) {
        SCOPED_TRACE("case '" + c.name + "'");
        // A CR between colons and "{|" is where the two tests differ.
        if (c.input.find(":\r") != std::string::npos)
            continue;
        // Tables-only output is empty exactly when no table opened.
        Result r = convert(c.input, 1);
        EXPECT_EQ(wttable_detect_has_tables(c.input.c_str()), r.html.empty() ? 0 : 1);
    }
}

}  // namespace
