/* The smallest host: convert one text, check for failure, print the HTML. */
#include <stdio.h>

#include "wttable.h"

int main(void)
{
    const char *text = "Intro\n{| class=\"t\"\n! A !! B\n|-\n| 1 || 2\n|}\nEnd";
    const char *html = wttable_to_html(text);
    if (*html == '\0' && *wttable_last_error() != '\0') {
        fprintf(stderr, "conversion failed: %s\n", wttable_last_error());
        return 1;
    }
    /* html belongs to the library and stays valid until the next call of
     * wttable_to_html: copy it to keep it longer. */
    printf("%s\n", html);
    return 0;
}
