/* How much stack one conversion needs: a thread whose stack is painted
 * with a pattern converts the worst case (64 open tables, each with a row
 * of 256 cells and a full header line), then the untouched part of the
 * stack is measured.  Prints the figure the README states. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wttable.h"

enum { STACK_SIZE = 1 << 20, PAINT = 0xA5 };

static char *worst_case(void)
{
    size_t cap = 64 * 20000 + 4096;
    char *text = malloc(cap);
    size_t len = 0;
    for (int depth = 0; depth < 64; depth++) {
        len += (size_t)sprintf(text + len, "%.*s{| class=\"d%d\"\n|- r\n|", depth % 3, "::", depth);
        for (int c = 0; c < 255; c++)
            len += (size_t)sprintf(text + len, " c%d ||", c);
        len += (size_t)sprintf(text + len, " last\n! ");
        memset(text + len, 'h', 16000);
        len += 16000;
        len += (size_t)sprintf(text + len, " !! x\n");
    }
    text[len] = '\0';
    return text;
}

static void *convert(void *text)
{
    wttable_parse_document(text);
    wttable_to_html(text);
    return NULL;
}

int main(void)
{
    char *text = worst_case();
    char *stack = aligned_alloc(4096, STACK_SIZE);
    memset(stack, PAINT, STACK_SIZE);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, STACK_SIZE);
    pthread_t thread;
    if (pthread_create(&thread, &attr, convert, text) != 0)
        return 1;
    pthread_join(thread, NULL);
    size_t untouched = 0;
    while (untouched < STACK_SIZE && (unsigned char)stack[untouched] == PAINT)
        untouched++;
    size_t used = STACK_SIZE - untouched;
    printf("stack used by the worst case (64 open tables with cells): %zu bytes (%.1f KiB)\n", used,
           (double)used / 1024);
    free(stack);
    free(text);
    return 0;
}
