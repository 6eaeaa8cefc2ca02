#include "alloc_fail.h"

#include <stdlib.h>

extern "C" {
void *__real_malloc(size_t size);
void *__real_realloc(void *block, size_t size);
void __real_free(void *block);
void *__wrap_malloc(size_t size);
void *__wrap_realloc(void *block, size_t size);
void __wrap_free(void *block);
}

static bool s_armed;
static size_t s_successes_left;
static alloc_fail_counts s_counts;

static bool should_fail()
{
    if (!s_armed)
        return false;
    if (s_successes_left == 0)
        return true;
    s_successes_left--;
    return false;
}

void *__wrap_malloc(size_t size)
{
    if (should_fail())
        return nullptr;
    void *block = __real_malloc(size);
    if (block != nullptr) {
        s_counts.mallocs++;
        s_counts.live++;
    }
    return block;
}

void *__wrap_realloc(void *block, size_t size)
{
    if (should_fail())
        return nullptr;
    void *moved = __real_realloc(block, size);
    if (moved != nullptr) {
        s_counts.reallocs++;
        if (block == nullptr)
            s_counts.live++;
    }
    return moved;
}

void __wrap_free(void *block)
{
    if (block != nullptr) {
        s_counts.frees++;
        s_counts.live--;
    }
    __real_free(block);
}

void alloc_fail_after(size_t successes)
{
    s_armed = true;
    s_successes_left = successes;
}

void alloc_fail_never()
{
    s_armed = false;
}

alloc_fail_counts alloc_fail_counters()
{
    return s_counts;
}
