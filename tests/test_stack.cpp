// A conversion keeps its work area (about 90 KiB) on the calling thread's
// stack: a thread with a 256 KiB stack converts deeply nested, cell-heavy
// text.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>

#include "wttable_parser.h"

namespace {

struct Job {
    std::string text;
    std::string html;
    int rc = -1;
};

void *convert_on_thread(void *arg)
{
    Job *job = static_cast<Job *>(arg);
    wt_buf buf = {nullptr, 0, 0};
    job->rc = wttable_parse_to_html(job->text.c_str(), &buf, 0);
    job->html.assign(wt_buf_cstring(&buf), buf.len);
    wt_buf_free(&buf);
    return nullptr;
}

std::string nested_cell_heavy_text()
{
    std::string cells = "|";
    for (int i = 0; i < 255; i++)
        cells += " c" + std::to_string(i) + " ||";
    cells += " last\n";
    std::string text;
    for (int depth = 0; depth < 64; depth++)
        text += std::string(depth % 3, ':') + "{| class=\"d" + std::to_string(depth) + "\"\n|- r\n" +
                cells + "! " + std::string(16000, 'h') + " !! x\n";
    for (int depth = 0; depth < 32; depth++)
        text += "|} after\n";
    return text;
}

TEST(Stack, ConvertsOnAThreadWith256KiBOfStack)
{
    Job small;
    small.text = nested_cell_heavy_text();
    Job reference;
    reference.text = small.text;
    convert_on_thread(&reference);
    ASSERT_EQ(reference.rc, 1);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, convert_on_thread, &small), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);

    EXPECT_EQ(small.rc, 1);
    EXPECT_EQ(small.html, reference.html);
    EXPECT_GT(small.html.size(), 64u * 16000u);
}

}  // namespace
