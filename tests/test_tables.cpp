// The table model against the converter: rendering the model of a text as
// HTML gives the library's bytes, in both modes, on the case table, on
// generated markup around every limit, on an article and on the real
// articles when they are there.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "article.h"
#include "case_file.h"
#include "reference_check.h"
#include "wttable_tables.h"

namespace {

void expect_model_gives_html(const std::string &text)
{
    wtt_doc *doc = wtt_new();
    ASSERT_NE(doc, nullptr);
    int rc = wtt_parse(doc, text.data(), text.size(), 0);
    for (bool tables_only : {true, false}) {
        std::string want;
        bool ok = fast_convert(text.c_str(), tables_only, &want);
        ASSERT_EQ(ok, rc == 1) << escaped(text);
        if (!ok)
            continue;
        size_t len = 0;
        const char *html = wtt_html(doc, tables_only ? 1 : 0, &len);
        ASSERT_NE(html, nullptr);
        ASSERT_EQ(escaped(std::string(html, len)), escaped(want))
            << "input " << escaped(text) << (tables_only ? " (tables-only)" : " (document)");
    }
    wtt_free(doc);
}

TEST(TableModel, RendersTheCaseTable)
{
    std::string error;
    std::vector<ConversionCase> cases = load_cases(WTTABLE_CASES_DIR "/conversion.txt", &error);
    ASSERT_EQ(error, "");
    for (const ConversionCase &c : cases) {
        SCOPED_TRACE(c.name);
        expect_model_gives_html(c.input);
        if (HasFatalFailure())
            return;
    }
}

TEST(TableModel, RendersGeneratedMarkup)
{
    static const char alphabet[] = "||||!!![[--{{  \t\r:ab";
    Random rng{0x5DEECE66DULL};
    for (int round = 0; round < 20000; round++) {
        std::string text = rng.below(8) ? "{|\n" : "";
        size_t lines = 1 + rng.below(6);
        for (size_t l = 0; l < lines; l++) {
            size_t len = rng.below(100);
            std::string line = rng.below(3) ? std::string(1, "|!:{"[rng.below(4)]) : "";
            for (size_t i = 0; i < len; i++)
                line += alphabet[rng.below(sizeof alphabet - 1)];
            text += line + (rng.below(5) ? "\n" : "\r\n");
        }
        if (rng.below(2))
            text += "|}";
        expect_model_gives_html(text);
        if (HasFatalFailure())
            return;
    }
}

TEST(TableModel, RendersLinesAroundTheLimits)
{
    Random rng{99};
    for (size_t len : {1021u, 1022u, 1023u, 16382u, 16383u, 16384u, 40000u}) {
        for (const char *marker : {"|", "!", "|+", "|-"}) {
            for (int variant = 0; variant < 3; variant++) {
                std::string body;
                for (size_t i = 0; i < len; i++) {
                    size_t k = rng.below(40);
                    body += k == 0 ? '|' : k == 1 ? '!' : k == 2 ? '[' : k == 3 ? ' ' : 'x';
                }
                if (variant == 1)
                    body = std::string(len - 2, 'y') + "!!kz";
                if (variant == 2) {
                    body.clear();
                    for (int i = 0; i < 300; i++)
                        body += "a||";
                }
                expect_model_gives_html(std::string("{|\n") + marker + body + "\n| after\n|}");
                if (HasFatalFailure())
                    return;
            }
        }
    }
    std::string deep;
    for (int i = 0; i < 65; i++)
        deep += "{|\n";
    expect_model_gives_html(deep);
}

TEST(TableModel, RendersAnArticle)
{
    expect_model_gives_html(make_article(40));
}

#if defined(WTTABLE_HAVE_CORPUS)
TEST(TableModel, RendersTheRealArticles)
{
    DIR *dir = opendir(WTTABLE_CORPUS_DIR);
    ASSERT_NE(dir, nullptr);
    int files = 0;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(std::string(WTTABLE_CORPUS_DIR) + "/" + e->d_name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        SCOPED_TRACE(e->d_name);
        expect_model_gives_html(text.str());
        files++;
        if (HasFatalFailure())
            break;
    }
    closedir(dir);
    EXPECT_GT(files, 0);
}
#endif

}  // namespace
