// The shared library as the loader sees it: exactly the five functions are
// exported, only the C library is needed, and nothing runs at load time.
#include <gtest/gtest.h>

#include <stdio.h>

#include <set>
#include <sstream>
#include <string>

namespace {

std::string run(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        out.append(chunk, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
}

std::set<std::string> words_at(const std::string &text, size_t column)
{
    std::set<std::string> found;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string field;
        for (size_t i = 0; i <= column && fields >> field; i++)
            if (i == column)
                found.insert(field);
    }
    return found;
}

TEST(SharedLibrary, ExportsExactlyTheFiveFunctions)
{
    std::string symbols = run("nm -D --defined-only '" WTTABLE_SHARED_LIBRARY "'");
    std::set<std::string> expected = {"wttable_has_tables", "wttable_last_error",
                                      "wttable_parse_document", "wttable_to_html",
                                      "wttable_version"};
    EXPECT_EQ(words_at(symbols, 2), expected) << symbols;
    EXPECT_EQ(words_at(symbols, 1), std::set<std::string>{"T"}) << "only functions";
}

// A sanitizer build links its runtime: there the check means nothing, so it
// is not compiled.
#ifndef WTTABLE_SANITIZED
TEST(SharedLibrary, NeedsOnlyTheCLibraryAndHasItsSoname)
{
    std::string dynamic = run("readelf -d '" WTTABLE_SHARED_LIBRARY "'");
    std::set<std::string> needed;
    std::istringstream lines(dynamic);
    std::string line;
    bool soname = false;
    while (std::getline(lines, line)) {
        if (line.find("(NEEDED)") != std::string::npos)
            needed.insert(line.substr(line.find('[')));
        if (line.find("(SONAME)") != std::string::npos)
            soname = line.find("[libtrivanex-wikitext-table.so.1]") != std::string::npos;
    }
    EXPECT_EQ(needed, std::set<std::string>{"[libc.so.6]"}) << dynamic;
    EXPECT_TRUE(soname) << dynamic;
}
#endif

TEST(SharedLibrary, NoCodeOfOursRunsAtLoadOrUnload)
{
    // Global constructors or destructors would show up as these symbols.
    std::string symbols = run("nm '" WTTABLE_STATIC_LIBRARY "'");
    EXPECT_EQ(symbols.find("_GLOBAL__sub_I"), std::string::npos);
    EXPECT_EQ(symbols.find("_GLOBAL__sub_D"), std::string::npos);
    EXPECT_EQ(symbols.find("__cxa_atexit"), std::string::npos);
    EXPECT_EQ(symbols.find("__cxa_guard"), std::string::npos);
}

}  // namespace
