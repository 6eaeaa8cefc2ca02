/* A host built against the installed library. */
#include <stdio.h>
#include <string.h>

#include "wttable.h"

int main(void)
{
    const char *html = wttable_to_html("{|\n| a || b\n|}");
    if (strcmp(html, "<table>\n<tr>\n<td>a</td><td>b</td></tr>\n</table>") != 0) {
        fprintf(stderr, "unexpected result: %s\n", html);
        return 1;
    }
    printf("consumer: %s ok\n", wttable_version());
    return 0;
}
