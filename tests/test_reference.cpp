// The fast converter against the plain reference converter: on the case
// tables, on texts made of markup bytes at every length around the block
// sizes of the fast scans, and on long generated lines.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>

#include "article.h"
#include "case_file.h"
#include "reference_check.h"
#include "wttable_parser.h"

namespace {

void expect_same(const std::string &text)
{
    expect_same_as_reference(text.c_str(), "");
}

TEST(Reference, AgreesWithTheCaseTable)
{
    std::string error;
    std::vector<ConversionCase> cases = load_cases(WTTABLE_CASES_DIR "/conversion.txt", &error);
    ASSERT_EQ(error, "");
    for (const ConversionCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string html;
        if (c.has_tables) {
            EXPECT_TRUE(reference_convert(c.input.c_str(), true, &html));
            EXPECT_EQ(escaped(html), escaped(c.tables));
        }
        if (c.has_document) {
            EXPECT_TRUE(reference_convert(c.input.c_str(), false, &html));
            EXPECT_EQ(escaped(html), escaped(c.document));
        }
        expect_same(c.input);
    }
}

// Lines of markup bytes with a length that sweeps the 16- and 64-byte
// blocks of the scans, inside an open table most of the time.
TEST(Reference, MarkupBytesAtEveryLength)
{
    static const char alphabet[] = "||||!!![[--{{  \t\r:ab";
    Random rng{0x9E3779B97F4A7C15ULL};
    for (int round = 0; round < 30000; round++) {
        std::string text = rng.below(8) ? "{|\n" : "";
        size_t lines = 1 + rng.below(4);
        for (size_t l = 0; l < lines; l++) {
            size_t len = rng.below(140);
            std::string line = rng.below(3) ? std::string(1, "|!:"[rng.below(3)]) : "";
            for (size_t i = 0; i < len; i++)
                line += alphabet[rng.below(sizeof alphabet - 1)];
            text += line + (rng.below(5) ? "\n" : "\r\n");
        }
        if (rng.below(2))
            text += "|}";
        expect_same(text);
        if (HasFatalFailure())
            return;
    }
}

// Long cells, row attributes and header lines around every limit.
TEST(Reference, LongLinesAroundTheLimits)
{
    Random rng{12345};
    for (size_t len : {1020u, 1021u, 1022u, 1023u, 1024u, 16380u, 16381u, 16382u, 16383u, 16384u,
                       16385u, 40000u}) {
        for (const char *marker : {"|", "!", "|+", "|-"}) {
            for (int variant = 0; variant < 4; variant++) {
                std::string body;
                for (size_t i = 0; i < len; i++) {
                    size_t k = rng.below(40);
                    body += k == 0 ? '|' : k == 1 ? '!' : k == 2 ? '[' : k == 3 ? ' ' : 'x';
                }
                if (variant == 1)
                    body = std::string(len - 2, 'y') + "||z";
                if (variant == 2)
                    body = std::string(len - 2, 'y') + "!!kz";
                expect_same(std::string("{|\n") + marker + body + "\n| after\n|}");
                if (HasFatalFailure())
                    return;
            }
        }
    }
}

TEST(Reference, GeneratedArticle)
{
    expect_same(make_article(60));
}

}  // namespace
