#include "wt_detect.h"

#include <string.h>

/* Whitespace inside one line: the LF that ends it does not count. */
static int is_line_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

int wttable_detect_has_tables(const char *text)
{
    if (text == NULL)
        return 0;
    const char *p = text;
    while (*p != '\0') {
        while (is_line_space((unsigned char)*p))
            p++;
        while (*p == ':')
            p++;
        while (is_line_space((unsigned char)*p))
            p++;
        if (p[0] == '{' && p[1] == '|')
            return 1;
        p = strchr(p, '\n');
        if (p == NULL)
            return 0;
        p++;
    }
    return 0;
}
