/* trivanex-wikitext-table: wiki table markup ("{|", "|-", "|+", "!", "|",
 * "|}") to HTML.
 *
 * Contract, for every function below:
 * - Input is a NUL-terminated 8-bit text owned by the caller and only read
 *   during the call.  A null text is accepted.
 * - Every returned pointer is non-null, read-only and owned by the library.
 *   A conversion result stays valid until the next call of the same
 *   conversion function; copy it to keep it longer.
 * - The library keeps one result buffer per conversion function and one
 *   error text: call it from one thread at a time.
 * - Nothing is escaped: the HTML is exactly as trustworthy as its input.
 */
#ifndef WTTABLE_H
#define WTTABLE_H

#if defined(_WIN32) && !defined(WTTABLE_STATIC)
#  if defined(WTTABLE_BUILDING)
#    define WTTABLE_API __declspec(dllexport)
#  else
#    define WTTABLE_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define WTTABLE_API __attribute__((visibility("default")))
#else
#  define WTTABLE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 1 if some line of `text` is a table start line: optional whitespace,
 * optional colons, optional whitespace, then "{|".  0 otherwise, and for a
 * null text.  Empties the error text. */
WTTABLE_API int wttable_has_tables(const char *text);

/* The message of the latest failed conversion, or "" when a call of
 * wttable_has_tables, wttable_to_html or wttable_parse_document has begun
 * since.  Always the same address. */
WTTABLE_API const char *wttable_last_error(void);

/* The whole text with every table replaced by its HTML and every other line
 * kept.  "" with a message in wttable_last_error() when more than 64 tables
 * nest or memory runs out.  A null text gives "" with no message. */
WTTABLE_API const char *wttable_parse_document(const char *text);

/* The HTML of the tables in the text and nothing else.  Fails like
 * wttable_parse_document; "" with no message when there is no table. */
WTTABLE_API const char *wttable_to_html(const char *text);

/* The library's version, "MAJOR.MINOR.PATCH". */
WTTABLE_API const char *wttable_version(void);

#ifdef __cplusplus
}
#endif

#endif
