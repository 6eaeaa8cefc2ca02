// Every way of classifying bytes gives the same HTML: each code path this
// machine can run is forced in turn and compared with the plain reference
// converter where the 64-byte blocks and the classified windows have their
// edges, at the end of the text and against an unreadable page.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "article.h"
#include "case_file.h"
#include "reference_check.h"
#include "wt_markup_rules.h"
#include "wt_stage1.h"
#include "wttable_parser.h"

namespace {

std::vector<int> runnable_paths()
{
    std::vector<int> paths;
    for (int path = WTTABLE_PATH_PLAIN; path < WTTABLE_PATH_COUNT; path++)
        if (wttable_force_code_path(path))
            paths.push_back(path);
    wttable_force_code_path(WTTABLE_PATH_AUTO);
    return paths;
}

// Forces one path for the length of a scope.
struct ForcedPath {
    explicit ForcedPath(int path) { EXPECT_TRUE(wttable_force_code_path(path)); }
    ~ForcedPath() { wttable_force_code_path(WTTABLE_PATH_AUTO); }
};

void expect_same(const char *text, int path)
{
    expect_same_as_reference(text, std::string("path ") + wttable_code_path_name(path) + ", ");
}

TEST(CodePaths, TheWidestIsChosenAndEachCanBeForced)
{
    std::vector<int> paths = runnable_paths();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.front(), WTTABLE_PATH_PLAIN);
    EXPECT_EQ(wttable_code_path(), paths.back());
    EXPECT_FALSE(wttable_force_code_path(WTTABLE_PATH_COUNT));
    EXPECT_STREQ(wttable_code_path_name(WTTABLE_PATH_COUNT), "");
#if defined(WT_STAGE1_X86)
    EXPECT_GE(paths.size(), 2u) << "x86-64 always has SSE2";
#endif
}

// The masks of stage 1, a byte at a time and apart from its code.
void classify_model(const char *text, size_t count, const wt_mask_rows *rows)
{
    for (size_t k = 0; k < count; k++) {
        const unsigned char *block = (const unsigned char *)text + 64 * k;
        uint64_t line_feed = 0, bar = 0, space = 0, guard = 0, bang = 0;
        for (unsigned i = 0; i < 64; i++) {
            uint64_t bit = (uint64_t)1 << i;
            line_feed |= block[i] == '\n' ? bit : 0;
            bar |= block[i] == '|' ? bit : 0;
            bang |= block[i] == '!' ? bit : 0;
            space |= wt_is_space(block[i]) ? bit : 0;
            guard |= wt_is_guard_pair((char)block[i], (char)block[i + 1]) ? bit : 0;
        }
        rows->line_feed[k] = line_feed;
        rows->bar[k] = bar;
        rows->space[k] = space;
        rows->guard[k] = guard;
        rows->bang[k] = bang;
    }
}

// Every classifier against the byte-at-a-time model, on blocks whose
// special bytes sit at every position, the pair test's byte behind the
// block included.
TEST(CodePaths, ClassifiersAgreeWithThePlainModel)
{
    std::vector<std::pair<int, wt_classify_fn>> classifiers;
    classifiers.push_back({WTTABLE_PATH_PLAIN, wt_classify_plain});
#if defined(WT_STAGE1_X86)
    classifiers.push_back({WTTABLE_PATH_SSE2, wt_classify_sse2});
    classifiers.push_back({WTTABLE_PATH_AVX2, wt_classify_avx2});
    classifiers.push_back({WTTABLE_PATH_AVX512, wt_classify_avx512});
#elif defined(WT_STAGE1_SIMD128)
    classifiers.push_back({WTTABLE_PATH_SIMD128, wt_classify_simd128});
#endif
    static const char alphabet[] = "\n|| \t\r[[-{-!!ab\x80\xff";
    Random rng{77};
    const size_t blocks = 3;
    for (int round = 0; round < 3000; round++) {
        char text[64 * blocks + 1];
        for (char &c : text)
            c = alphabet[rng.below(sizeof alphabet - 1)];
        uint64_t want[5][blocks], got[5][blocks];
        wt_mask_rows model = {want[0], want[1], want[2], want[3], want[4]};
        classify_model(text, blocks, &model);
        for (auto &[path, classify] : classifiers) {
            if (!wttable_force_code_path(path))
                continue;
            memset(got, 0xa5, sizeof got);
            wt_mask_rows rows = {got[0], got[1], got[2], got[3], got[4]};
            classify(text, blocks, &rows);
            ASSERT_EQ(memcmp(want, got, sizeof want), 0) << wttable_code_path_name(path);
        }
    }
    wttable_force_code_path(WTTABLE_PATH_AUTO);
}

// A line of markup bytes that starts at each offset of a block, with
// lengths around one and two blocks, ending at the text's end or not.
TEST(CodePaths, MarkupAtEveryBlockPosition)
{
    static const char alphabet[] = "|||!!![[--{{  \t\r:abc";
    for (int path : runnable_paths()) {
        ForcedPath forced(path);
        Random rng{0xC0FFEE};
        for (size_t offset = 0; offset < 130; offset++) {
            for (size_t len : {0u, 1u, 2u, 15u, 16u, 17u, 62u, 63u, 64u, 65u, 66u, 127u, 128u,
                               129u, 200u}) {
                std::string text = "{|\n" + std::string(offset, 'x') + "\n";
                std::string line = std::string(1, "|!"[rng.below(2)]);
                for (size_t i = 0; i < len; i++)
                    line += alphabet[rng.below(sizeof alphabet - 1)];
                text += line;
                if (rng.below(2))
                    text += rng.below(2) ? "\n" : "\r\n";
                expect_same(text.c_str(), path);
                if (HasFatalFailure())
                    return;
                text += "| next || line\n|}";
                expect_same(text.c_str(), path);
                if (HasFatalFailure())
                    return;
            }
        }
    }
}

// Many lines, some longer than a classified window (4 KiB), so that lines
// cross window edges at every distance.
TEST(CodePaths, LinesAcrossWindowEdges)
{
    static const char alphabet[] = "|||!![[--{{  \tabcdefgh";
    for (int path : runnable_paths()) {
        ForcedPath forced(path);
        Random rng{4096};
        for (int round = 0; round < 40; round++) {
            std::string text = "{|\n";
            while (text.size() < 20000) {
                size_t k = rng.below(100);
                size_t len = k < 80 ? rng.below(90) : k < 95 ? rng.below(600) : 4000 + rng.below(200);
                std::string line = rng.below(8) ? std::string(1, "|!"[rng.below(2)]) : "";
                for (size_t i = 0; i < len; i++)
                    line += alphabet[rng.below(sizeof alphabet - 1)];
                text += line + (rng.below(6) ? "\n" : "\r\n");
                if (rng.below(40) == 0)
                    text += "|}\n{|\n";
            }
            expect_same(text.c_str(), path);
            if (HasFatalFailure())
                return;
        }
        // Lines of exactly a window and around it.
        for (size_t len : {4030u, 4031u, 4032u, 4033u, 4094u, 4095u, 4096u, 4097u, 8191u, 8192u}) {
            std::string line = "| a ";
            while (line.size() < len)
                line += rng.below(5) ? "x" : "||";
            line.resize(len);
            expect_same(("{|\n" + line + "\n| b || c\n|}").c_str(), path);
            if (HasFatalFailure())
                return;
        }
    }
}

// The case table and the long lines around every limit, on each path.
TEST(CodePaths, CasesAndLimitsOnEveryPath)
{
    std::string error;
    std::vector<ConversionCase> cases = load_cases(WTTABLE_CASES_DIR "/conversion.txt", &error);
    ASSERT_EQ(error, "");
    for (int path : runnable_paths()) {
        ForcedPath forced(path);
        for (const ConversionCase &c : cases) {
            SCOPED_TRACE(c.name);
            expect_same(c.input.c_str(), path);
            if (HasFatalFailure())
                return;
        }
        Random rng{12345};
        for (size_t len : {1022u, 1023u, 1024u, 16382u, 16383u, 16384u}) {
            for (const char *marker : {"|", "!", "|+", "|-"}) {
                std::string body;
                for (size_t i = 0; i < len; i++) {
                    size_t k = rng.below(40);
                    body += k == 0 ? '|' : k == 1 ? '!' : k == 2 ? '[' : k == 3 ? ' ' : 'x';
                }
                expect_same((std::string("{|\n") + marker + body + "\n| after\n|}").c_str(), path);
                if (HasFatalFailure())
                    return;
            }
        }
        expect_same(make_article(20).c_str(), path);
    }
}

// Texts whose NUL is the last readable byte before an unreadable page, and
// texts that start on the first byte after one: no path may read outside.
TEST(CodePaths, NoReadOutsideTheText)
{
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    char *area = (char *)mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(mprotect(area, page, PROT_NONE), 0);
    ASSERT_EQ(mprotect(area + 3 * page, page, PROT_NONE), 0);
    char *first = area + page;          // readable from here ...
    char *limit = area + 3 * page;      // ... to here

    const std::string unit = "| a || [[b|c]] |x\r\n!h!!i\n|-\n|+ cap\n";
    for (int path : runnable_paths()) {
        ForcedPath forced(path);
        std::vector<size_t> lengths;
        for (size_t len = 0; len < 200; len++)
            lengths.push_back(len);
        for (size_t len : {4095u, 4096u, 4097u, 4159u, 4160u, 4161u, 8000u})
            lengths.push_back(len);
        for (size_t len : lengths) {
            std::string text = "{|\n";
            while (text.size() < len)
                text += unit;
            text.resize(len);
            // Against the page behind ...
            char *at = limit - len - 1;
            memcpy(at, text.c_str(), len + 1);
            expect_same(at, path);
            if (HasFatalFailure())
                break;
            // ... and the page in front.
            memcpy(first, text.c_str(), len + 1);
            expect_same(first, path);
            if (HasFatalFailure())
                break;
        }
    }
    munmap(area, 4 * page);
}

}  // namespace
