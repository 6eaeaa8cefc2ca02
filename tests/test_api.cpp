// The exported functions, loaded the way a host loads them: dlopen of the
// built shared library and dlsym by name.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>

#include "case_file.h"
#include "wttable.h"

namespace {

struct Library {
    void *handle = nullptr;
    decltype(&wttable_has_tables) has_tables = nullptr;
    decltype(&wttable_last_error) last_error = nullptr;
    decltype(&wttable_parse_document) parse_document = nullptr;
    decltype(&wttable_to_html) to_html = nullptr;
    decltype(&wttable_version) version = nullptr;
};

template <typename Fn> void bind(void *handle, const char *name, Fn *fn)
{
    *fn = reinterpret_cast<Fn>(dlsym(handle, name));
    ASSERT_NE(*fn, nullptr) << name << ": " << dlerror();
}

const Library &library()
{
    static Library lib;
    if (lib.handle == nullptr) {
        lib.handle = dlopen(WTTABLE_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(lib.handle, nullptr) << dlerror();
        if (lib.handle == nullptr)
            return lib;
        bind(lib.handle, "wttable_has_tables", &lib.has_tables);
        bind(lib.handle, "wttable_last_error", &lib.last_error);
        bind(lib.handle, "wttable_parse_document", &lib.parse_document);
        bind(lib.handle, "wttable_to_html", &lib.to_html);
        bind(lib.handle, "wttable_version", &lib.version);
    }
    return lib;
}

std::string nested_starts(int count)
{
    std::string text;
    for (int i = 0; i < count; i++)
        text += "{|\n";
    return text;
}

class Exports : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(library().handle, nullptr);
        ASSERT_NE(library().version, nullptr);
    }
    const Library &lib = library();
};

TEST_F(Exports, VersionIsConstant)
{
    EXPECT_STREQ(lib.version(), "1.0.0");
    EXPECT_EQ(lib.version(), lib.version());
}

TEST_F(Exports, EveryCaseThroughBothConversions)
{
    std::string error;
    std::vector<ConversionCase> cases = load_cases(WTTABLE_CASES_DIR "/conversion.txt", &error);
    ASSERT_EQ(error, "");
    for (const ConversionCase &c : cases) {
        SCOPED_TRACE("case '" + c.name + "' at line " + std::to_string(c.line));
        if (c.has_tables) {
            EXPECT_EQ(escaped(lib.to_html(c.input.c_str())), escaped(c.tables));
        }
        if (c.has_document) {
            EXPECT_EQ(escaped(lib.parse_document(c.input.c_str())), escaped(c.document));
        }
        EXPECT_STREQ(lib.last_error(), "");
    }
}

TEST_F(Exports, NullAndEmptyTextsGiveEmptyResultsWithoutMessage)
{
    for (const char *text : {static_cast<const char *>(nullptr), ""}) {
        EXPECT_STREQ(lib.to_html(text), "");
        EXPECT_STREQ(lib.last_error(), "");
        EXPECT_STREQ(lib.parse_document(text), "");
        EXPECT_STREQ(lib.last_error(), "");
        EXPECT_EQ(lib.has_tables(text), 0);
    }
}

TEST_F(Exports, NestingLimitFailsWithEachFunctionsMessage)
{
    const std::string ok = nested_starts(64);
    const std::string too_deep = nested_starts(65);
    EXPECT_STRNE(lib.to_html(ok.c_str()), "");
    EXPECT_STREQ(lib.last_error(), "");
    EXPECT_STRNE(lib.parse_document(ok.c_str()), "");
    EXPECT_STREQ(lib.last_error(), "");

    EXPECT_STREQ(lib.to_html(too_deep.c_str()), "");
    EXPECT_STREQ(lib.last_error(), "Failed to parse table markup");
    EXPECT_STREQ(lib.parse_document(too_deep.c_str()), "");
    EXPECT_STREQ(lib.last_error(), "Failed to parse document tables");
    // Detection says yes, though the conversion fails.
    EXPECT_EQ(lib.has_tables(too_deep.c_str()), 1);
}

TEST_F(Exports, ErrorTextStaysUntilTheNextConversionOrDetection)
{
    const std::string too_deep = nested_starts(65);
    const char *error = lib.last_error();
    EXPECT_EQ(lib.last_error(), error);

    struct {
        const char *what;
        void (*call)(const Library &);
    } clearing[] = {
        {"to_html(NULL)", [](const Library &l) { l.to_html(nullptr); }},
        {"parse_document(NULL)", [](const Library &l) { l.parse_document(nullptr); }},
        {"has_tables(NULL)", [](const Library &l) { l.has_tables(nullptr); }},
        {"has_tables(\"\")", [](const Library &l) { l.has_tables(""); }},
        {"to_html(text)", [](const Library &l) { l.to_html("{|\n|}"); }},
    };
    for (const auto &c : clearing) {
        SCOPED_TRACE(c.what);
        lib.to_html(too_deep.c_str());
        lib.version();
        lib.last_error();
        EXPECT_STREQ(error, "Failed to parse table markup");
        c.call(lib);
        EXPECT_STREQ(error, "");
        EXPECT_EQ(lib.last_error(), error);
    }
}

TEST_F(Exports, EachConversionKeepsItsOwnResultUntilItsNextCall)
{
    const char *tables = lib.to_html("{|\n| a || b\n|}");
    EXPECT_STREQ(tables, "<table>\n<tr>\n<td>a</td><td>b</td></tr>\n</table>");
    const char *document = lib.parse_document("Intro\n{|\n| x\n|}\nOutro");
    EXPECT_STREQ(document, "Intro\n<table>\n<tr>\n<td>x</td></tr>\n</table>\nOutro");
    lib.has_tables("{|");
    lib.version();
    EXPECT_STREQ(tables, "<table>\n<tr>\n<td>a</td><td>b</td></tr>\n</table>");

    // The next call of the same function empties its buffer.
    lib.to_html(nullptr);
    EXPECT_STREQ(tables, "");
    EXPECT_STREQ(document, "Intro\n<table>\n<tr>\n<td>x</td></tr>\n</table>\nOutro");
}

TEST_F(Exports, ResultBufferIsReusedForOutputsThatFit)
{
    const char *first = lib.to_html("{|\n| a\n|}");
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(lib.to_html("{|\n| b\n|}"), first);
    EXPECT_EQ(lib.parse_document("x\ny"), lib.parse_document("z"));
}

TEST_F(Exports, DetectionThroughTheExport)
{
    EXPECT_EQ(lib.has_tables("a\nb\n  {|"), 1);
    EXPECT_EQ(lib.has_tables(": :{|"), 0);
    EXPECT_EQ(lib.has_tables(":\r{|"), 1);
}

}  // namespace
