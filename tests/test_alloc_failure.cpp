// Exhausted memory: every allocation that a conversion makes is failed in
// turn.  A conversion either returns its complete HTML or fails with its
// message; it never returns a shortened result as a success, crashes or
// leaks.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "alloc_fail.h"
#include "article.h"
#include "case_file.h"
#include "wttable.h"
#include "wttable_parser.h"

namespace {

std::string reference(const std::string &text, int tables_only)
{
    wt_buf buf = {nullptr, 0, 0};
    EXPECT_EQ(wttable_parse_to_html(text.c_str(), &buf, tables_only), 1);
    std::string html(wt_buf_cstring(&buf), buf.len);
    wt_buf_free(&buf);
    return html;
}

// Fails the parser's buffer growth at every point in turn, on a fresh
// buffer each time: what was written before the failure is a prefix of the
// full output, the buffer stays terminated, and nothing leaks.
void exhaust_parser(const std::string &text, int tables_only)
{
    const std::string expected = reference(text, tables_only);
    for (size_t k = 0;; k++) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
        long live = alloc_fail_counters().live;
        wt_buf buf = {nullptr, 0, 0};
        alloc_fail_after(k);
        int rc = wttable_parse_to_html(text.c_str(), &buf, tables_only);
        alloc_fail_never();
        std::string got(wt_buf_cstring(&buf), buf.len);
        if (buf.data != nullptr) {
            ASSERT_LT(buf.len, buf.cap);
            ASSERT_EQ(buf.data[buf.len], '\0');
        }
        wt_buf_free(&buf);
        ASSERT_EQ(alloc_fail_counters().live, live);
        if (rc == 1) {
            ASSERT_EQ(got, expected);
            return;
        }
        ASSERT_EQ(got, expected.substr(0, got.size()));
        ASSERT_LT(got.size(), expected.size() + 1);
    }
}

// Real articles, where a checkout has them beside it: extra data for the
// case-table runs above, so without them there is no such test.
#ifdef WTTABLE_HAVE_CORPUS
// A few real articles, where the corpus lies beside the project.
std::vector<std::string> real_articles()
{
    std::vector<std::string> texts;
    for (const char *name : {"pandoc_tables.wiki", "wtf_bluejays.wiki", "wtf_earthquakes.wiki",
                             "sweble_exp-Help_Table.wiki"}) {
        std::ifstream in(std::string(WTTABLE_CORPUS_DIR) + "/" + name, std::ios::binary);
        if (!in)
            continue;
        std::ostringstream text;
        text << in.rdbuf();
        texts.push_back(text.str());
    }
    return texts;
}

TEST(AllocationFailure, RealArticles)
{
    std::vector<std::string> texts = real_articles();
    ASSERT_FALSE(texts.empty()) << "no articles in " WTTABLE_CORPUS_DIR;
    for (const std::string &text : texts) {
        exhaust_parser(text, 1);
        exhaust_parser(text, 0);
    }
}
#endif

TEST(AllocationFailure, ParserNeverReportsAShortenedResult)
{
    std::string error;
    std::vector<ConversionCase> cases = load_cases(WTTABLE_CASES_DIR "/conversion.txt", &error);
    ASSERT_EQ(error, "");
    for (const ConversionCase &c : cases) {
        SCOPED_TRACE(c.name);
        exhaust_parser(c.input, 1);
        exhaust_parser(c.input, 0);
    }
    std::string article = make_article(40);
    exhaust_parser(article, 1);
    exhaust_parser(article, 0);
}

typedef const char *(*conversion_fn)(const char *);

// Runs `body` in a child process, so that each try meets result buffers in
// their state at load time; returns the child's exit status.
template <typename Body> int in_child(Body body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// 0: complete result with no message, or "" with the function's message;
// then the function works again.  Other values name what went wrong.
int exhausted_call(conversion_fn convert, const char *message, const std::string &text,
                   const std::string &expected, size_t successes)
{
    long live_at_start = alloc_fail_counters().live;
    alloc_fail_after(successes);
    std::string got = convert(text.c_str());
    std::string error = wttable_last_error();
    alloc_fail_never();
    if (error.empty() && got != expected)
        return 1; // damaged output reported as success
    if (!error.empty() && (error != message || !got.empty()))
        return 2;
    if (convert(text.c_str()) != expected || *wttable_last_error() != '\0')
        return 3; // the buffer did not recover
    if (wttable_to_html("{|\n| a\n|}") != std::string("<table>\n<tr>\n<td>a</td></tr>\n</table>") ||
        wttable_parse_document("x\n{|\n|}") != std::string("x\n<table>\n<tr><td></td></tr>\n</table>"))
        return 4;
    if (alloc_fail_counters().live - live_at_start > 2)
        return 5; // more blocks than the two result buffers
    return 0;
}

TEST(AllocationFailure, ExportsFailWithTheirMessageOrReturnTheWholeResult)
{
    const std::string article = make_article(200);
    const struct {
        conversion_fn convert;
        const char *message;
        int tables_only;
    } functions[] = {
        {wttable_to_html, "Failed to parse table markup", 1},
        {wttable_parse_document, "Failed to parse document tables", 0},
    };
    for (const auto &f : functions) {
        const std::string expected = reference(article, f.tables_only);
        ASSERT_GT(expected.size(), 8192u * 8);
        // The first call allocates the block and grows it a few times; 20
        // tries reach past the last growth.
        for (size_t k = 0; k < 20; k++) {
            SCOPED_TRACE(std::string(f.message) + ", allocation " + std::to_string(k) + " fails");
            EXPECT_EQ(in_child([&] { return exhausted_call(f.convert, f.message, article, expected, k); }),
                      0);
        }
    }
}

TEST(AllocationFailure, AFailedFirstBlockIsHarmless)
{
    EXPECT_EQ(in_child([] {
                  alloc_fail_after(0);
                  const char *empty = wttable_to_html("no table");
                  alloc_fail_never();
                  if (*empty != '\0' || *wttable_last_error() != '\0')
                      return 1;
                  // The buffer has no block; the next call grows one from 128.
                  if (wttable_to_html("{|\n|}") != std::string("<table>\n<tr><td></td></tr>\n</table>"))
                      return 2;
                  return 0;
              }),
              0);
}

TEST(AllocationFailure, ResultBuffersStopAllocatingOnceGrown)
{
    EXPECT_EQ(in_child([] {
                  alloc_fail_counts start = alloc_fail_counters();
                  wttable_to_html("{|\n| a\n|}");
                  alloc_fail_counts first = alloc_fail_counters();
                  if (first.mallocs - start.mallocs != 1 || first.reallocs != start.reallocs)
                      return 1; // one block of 4096, nothing more
                  wttable_parse_document("x");
                  if (alloc_fail_counters().mallocs - first.mallocs != 1)
                      return 2;
                  std::string big = make_article(100);
                  wttable_to_html(big.c_str());
                  wttable_parse_document(big.c_str());
                  alloc_fail_counts grown = alloc_fail_counters();
                  for (int i = 0; i < 3; i++) {
                      wttable_to_html(big.c_str());
                      wttable_parse_document(big.c_str());
                      wttable_to_html("{|\n|}");
                  }
                  alloc_fail_counts later = alloc_fail_counters();
                  if (later.mallocs != grown.mallocs || later.reallocs != grown.reallocs)
                      return 3;
                  return 0;
              }),
              0);
}

}  // namespace
