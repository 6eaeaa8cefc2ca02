#include "wttable_api.h"

#include <string.h>

#include "wt_buffer.h"
#include "wttable_config.h"
#include "wt_detect.h"
#include "wttable_parser.h"

/* The library's only long-lived state.  All of it starts out zero, so
 * nothing needs to run when the library is loaded. */
static char s_last_error[WTTABLE_ERROR_MAX];
static int s_html_init;
static wt_buf s_html_buf;
static int s_doc_init;
static wt_buf s_doc_buf;

static const char k_version[] = WTTABLE_VERSION_STRING;
static const char k_no_result[] = "";

static const char *convert(const char *text, wt_buf *buf, int *prepared, size_t initial_size,
                           int tables_only, const char *failure)
{
    s_last_error[0] = '\0';
    if (!*prepared) {
        /* A failed first allocation is harmless: appends try again. */
        wt_buf_init(buf, initial_size);
        *prepared = 1;
    }
    wt_buf_reset(buf);
    if (text == NULL)
        return k_no_result;
    if (!wttable_parse_to_html(text, buf, tables_only)) {
        memcpy(s_last_error, failure, strlen(failure) + 1);
        return k_no_result;
    }
    return wt_buf_cstring(buf);
}

extern "C" {

WTTABLE_API int wttable_has_tables(const char *text)
{
    s_last_error[0] = '\0';
    if (text == NULL)
        return 0;
    return wttable_detect_has_tables(text);
}

WTTABLE_API const char *wttable_last_error(void)
{
    return s_last_error;
}

WTTABLE_API const char *wttable_parse_document(const char *text)
{
    return convert(text, &s_doc_buf, &s_doc_init, WTTABLE_DOC_BUF_START, 0,
                   WTTABLE_DOCUMENT_FAILED);
}

WTTABLE_API const char *wttable_to_html(const char *text)
{
    return convert(text, &s_html_buf, &s_html_init, WTTABLE_HTML_BUF_START, 1,
                   WTTABLE_TABLES_FAILED);
}

WTTABLE_API const char *wttable_version(void)
{
    return k_version;
}

}
