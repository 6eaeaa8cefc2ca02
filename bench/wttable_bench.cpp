// Throughput of the two exported conversions, measured against the least
// that any line-oriented converter must do over the same bytes: find each
// LF (memchr) and copy the bytes (memcpy).
//
//   wttable_bench [--reps N] [--quick] [--corpus DIR] [--only TEXT] [--path NAME]
//
// The converter classifies bytes with the widest code path the processor
// offers; --path forces one (plain, sse2, avx2, avx512), and the last rows
// run the "tables" input once with each path this machine can run.
//
// Prints one row per input: MB/s of input (median of the repetitions), the
// same for memchr and memcpy, the ratio of conversion to memchr, and the
// number of malloc/realloc calls made by the timed calls.  Exits 1 when a
// conversion fails or a timed call allocates.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "generate.h"
#include "wttable.h"
#include "wttable_parser.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_realloc(void *block, size_t size);
void *__wrap_malloc(size_t size);
void *__wrap_realloc(void *block, size_t size);
}

static size_t s_allocations;
static int s_faults; // failed conversions or steady-state allocations

void *__wrap_malloc(size_t size)
{
    s_allocations++;
    return __real_malloc(size);
}

void *__wrap_realloc(void *block, size_t size)
{
    s_allocations++;
    return __real_realloc(block, size);
}

namespace {

const size_t MB = 1000 * 1000;

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

template <typename Fn> double median_seconds(int reps, Fn fn)
{
    std::vector<double> times;
    for (int i = 0; i < reps; i++) {
        double start = now();
        fn();
        times.push_back(now() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

volatile size_t s_sink;

double memchr_seconds(const std::string &text, int reps)
{
    return median_seconds(reps, [&] {
        const char *p = text.data();
        const char *end = p + text.size();
        size_t lines = 0;
        while (const void *lf = memchr(p, '\n', (size_t)(end - p))) {
            p = (const char *)lf + 1;
            lines++;
        }
        s_sink = lines;
    });
}

double memcpy_seconds(const std::string &text, int reps)
{
    std::string copy(text.size(), '\0');
    return median_seconds(reps, [&] {
        memcpy(&copy[0], text.data(), text.size());
        s_sink = (size_t)copy[text.size() / 2];
    });
}

struct Row {
    std::string name;
    bool tables_only;
    const std::string *text;
};

const char *s_only; // measure only the inputs whose name holds this text

void measure(const Row &row, int reps)
{
    if (s_only != nullptr && row.name.find(s_only) == std::string::npos)
        return;
    const char *(*convert)(const char *) = row.tables_only ? wttable_to_html : wttable_parse_document;
    // The first call grows the result buffer; steady state starts after it.
    const char *html = convert(row.text->c_str());
    if (*html == '\0' && *wttable_last_error() != '\0') {
        printf("%-22s failed: %s\n", row.name.c_str(), wttable_last_error());
        s_faults++;
        return;
    }
    size_t before = s_allocations;
    double conv = median_seconds(reps, [&] { s_sink = (size_t)*convert(row.text->c_str()); });
    size_t allocations = s_allocations - before;
    if (allocations != 0)
        s_faults++;
    double scan = memchr_seconds(*row.text, reps);
    double copy = memcpy_seconds(*row.text, reps);
    double size = (double)row.text->size();
    printf("%-22s %-9s %9.1f %10.0f %10.0f %10.0f %7.2f %7zu\n", row.name.c_str(),
           row.tables_only ? "tables" : "document", size / MB, size / conv / MB,
           size / scan / MB, size / copy / MB, scan / conv, allocations);
    fflush(stdout);
}

std::string machine_name()
{
    std::string model = "unknown processor";
    if (FILE *f = fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (fgets(line, sizeof line, f)) {
            if (strncmp(line, "model name", 10) == 0) {
                const char *colon = strchr(line, ':');
                if (colon) {
                    model = colon + 2;
                    model.erase(model.find_last_not_of("\n") + 1);
                }
                break;
            }
        }
        fclose(f);
    }
    return model;
}

std::string read_corpus(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string &name : names) {
        FILE *f = fopen((dir + "/" + name).c_str(), "rb");
        if (!f)
            continue;
        char chunk[65536];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
            all.append(chunk, n);
        fclose(f);
        if (!all.empty() && all.back() != '\n')
            all += '\n';
    }
    return all;
}

// The real articles are small: repeat them to a size that times well.
std::string repeated_to(const std::string &text, size_t bytes)
{
    std::string out;
    if (text.empty())
        return out;
    while (out.size() < bytes)
        out += text;
    return out;
}

// Table markup whose cells all look alike: branches predict well, which
// shows what the mixed "tables" input costs in mispredictions.
std::string uniform_cells(size_t bytes)
{
    const std::string line = "| abcdefgh || ijklmnop || qrstuvwx || align=right | yz0123\n";
    std::string table = "{|\n";
    for (int i = 0; i < 30; i++)
        table += "|-\n" + line;
    table += "|}\n";
    return repeated_to(table, bytes);
}

std::string pathological_bars(size_t bytes)
{
    std::string text = "{|\n|";
    text.append(bytes, '|');
    return text + "\n|}";
}

std::string pathological_links(size_t bytes)
{
    std::string text = "{|\n";
    std::string line = "| ";
    while (line.size() < bytes) {
        line += "[[";
        line += '|';
    }
    // Also as many lines, each with a guard pair far from its first bar.
    std::string body;
    while (body.size() < bytes) {
        body += "| ";
        body.append(60, '[');
        body += " a | b [[ | c\n";
    }
    return text + line + "\n" + body + "|}";
}

std::string pathological_nesting(size_t bytes)
{
    std::string block;
    for (int i = 0; i < 64; i++)
        block += "{|\n| x\n";
    for (int i = 0; i < 64; i++)
        block += "|}\n";
    return repeated_to(block, bytes);
}

std::string pathological_cell(size_t bytes)
{
    std::string text = "{|\n| ";
    text.append(bytes, 'x');
    text += "\n";
    // And a cell of as many continuation lines.
    for (size_t n = 0; n < bytes; n += 64)
        text += std::string(63, 'y') + "\n";
    return text + "|}";
}

std::string pathological_empty_cells(size_t cells)
{
    std::string line = "|";
    for (int i = 0; i < 255; i++)
        line += "||";
    line += "\n";
    std::string text = "{|\n";
    for (size_t n = 0; n < cells; n += 256)
        text += line;
    return text + "|}";
}

bool force_path_named(const char *name)
{
    for (int path = WTTABLE_PATH_PLAIN; path < WTTABLE_PATH_COUNT; path++)
        if (strcmp(name, wttable_code_path_name(path)) == 0)
            return wttable_force_code_path(path) != 0;
    return false;
}

}  // namespace

int main(int argc, char **argv)
{
    int reps = 5;
    bool quick = false;
    const char *forced = nullptr;
    std::string corpus = WTTABLE_BENCH_CORPUS;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--reps") == 0 && i + 1 < argc)
            reps = std::max(1, atoi(argv[++i]));
        else if (strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (strcmp(argv[i], "--corpus") == 0 && i + 1 < argc)
            corpus = argv[++i];
        else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            s_only = argv[++i];
        else if (strcmp(argv[i], "--path") == 0 && i + 1 < argc)
            forced = argv[++i];
        else {
            fprintf(stderr,
                    "usage: %s [--reps N] [--quick] [--corpus DIR] [--only TEXT] [--path NAME]\n",
                    argv[0]);
            return 2;
        }
    }
    if (forced != nullptr && !force_path_named(forced)) {
        fprintf(stderr, "%s: no code path \"%s\" on this machine\n", argv[0], forced);
        return 2;
    }
    // --quick shrinks every input 64 times: a smoke run, not a measurement.
    const size_t scale = quick ? 64 : 1;

    printf("trivanex-wikitext-table %s on %s, one thread, median of %d, code path %s%s\n",
           wttable_version(), machine_name().c_str(), reps,
           wttable_code_path_name(wttable_code_path()), forced ? " (forced)" : "");
    printf("%-22s %-9s %9s %10s %10s %10s %7s %7s\n", "input", "mode", "MB", "conv MB/s",
           "memchr", "memcpy", "ratio", "allocs");

    TextGenerator gen(1);
    const std::string tables = gen.tables(64 * MB / scale);
    const std::string mixed = gen.mixed(64 * MB / scale);
    const std::string prose = gen.prose(64 * MB / scale);
    measure({"tables", true, &tables}, reps);
    const std::string uniform = uniform_cells(64 * MB / scale);
    measure({"uniform cells", true, &uniform}, reps);
    measure({"mixed", false, &mixed}, reps);
    measure({"prose", false, &prose}, reps);

    const std::string real = repeated_to(read_corpus(corpus), 64 * MB / scale);
    if (!real.empty()) {
        measure({"real articles", false, &real}, reps);
        measure({"real articles", true, &real}, reps);
    } else {
        printf("%-22s (no corpus at %s)\n", "real articles", corpus.c_str());
    }

    const std::string bars = pathological_bars(16 * MB / scale);
    const std::string links = pathological_links(16 * MB / scale);
    const std::string nesting = pathological_nesting(16 * MB / scale);
    const std::string cell = pathological_cell(16 * MB / scale);
    const std::string empty = pathological_empty_cells(1000000 / scale);
    measure({"16 MB of ||", true, &bars}, reps);
    measure({"[[ and |", true, &links}, reps);
    measure({"64 nested, repeated", true, &nesting}, reps);
    measure({"16 MB cell", true, &cell}, reps);
    measure({"1M empty cells", true, &empty}, reps);

    for (size_t size : {1 * MB, 16 * MB, 256 * MB}) {
        TextGenerator scaled(2);
        const std::string text = scaled.mixed(size / scale);
        measure({"mixed " + std::to_string(size / MB) + " MB", false, &text}, reps);
    }

    // The table-heavy input once per code path, unless one was forced.
    if (forced == nullptr) {
        int widest = wttable_code_path();
        for (int path = WTTABLE_PATH_PLAIN; path < WTTABLE_PATH_COUNT; path++) {
            if (!wttable_force_code_path(path))
                continue;
            measure({std::string("tables, ") + wttable_code_path_name(path), true, &tables}, reps);
        }
        wttable_force_code_path(widest);
    }
    return s_faults == 0 ? 0 : 1;
}
