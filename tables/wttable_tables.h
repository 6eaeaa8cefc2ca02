/* trivanex-wikitext-tables: every table of a wiki text as data (rows,
 * columns and clean cell text), from one walk by the same markup rules as
 * the converter's, so the data always agrees with its HTML.
 *
 * A wtt_doc holds the tables of the last text given to wtt_parse; strings it
 * returns stay valid until the next wtt_parse or wtt_free on it.  Documents
 * are independent: one a thread. */
#ifndef WTTABLE_TABLES_H
#define WTTABLE_TABLES_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(WTTABLE_TABLES_BUILDING)
#define WTT_API __attribute__((visibility("default")))
#else
#define WTT_API
#endif

/* Options of wtt_parse, OR-ed. */
#define WTT_RAW_WIKITEXT 1u /* a raw page: comments, templates and the like are prepared first */
#define WTT_SPANS_BLANK 2u  /* a spanned slot holds "", only its first the text */
#define WTT_BR_SPACE 4u     /* <br> becomes a space, not a line feed */
#define WTT_WIKITEXT 8u     /* each cell's record holds its wikitext too */

typedef struct wtt_doc wtt_doc;

/* A new, empty document; NULL when memory runs out. */
WTT_API wtt_doc *wtt_new(void);
WTT_API void wtt_free(wtt_doc *doc);

/* Reads the tables of `len` bytes of `text`.  Returns 1; 0 when memory ran
 * out; -1 when a table start line lies beyond the nesting limit, where the
 * converter fails (wtt_failed_line says which).  After 0 or -1 the document
 * holds no tables. */
WTT_API int wtt_parse(wtt_doc *doc, const char *text, size_t len, unsigned options);

/* The 1-based line (in the text as given) of the start line that failed,
 * or 0. */
WTT_API size_t wtt_failed_line(const wtt_doc *doc);

/* Tables in document order, nested ones included. */
WTT_API size_t wtt_table_count(const wtt_doc *doc);

/* Table t's record as one line of JSON (no LF), with `len` its length;
 * NULL when memory ran out. */
WTT_API const char *wtt_table_json(wtt_doc *doc, size_t t, size_t *len);

/* Every table's record, in order, as one JSON array: one string to decode
 * for bindings that build objects from it.  NULL when memory ran out. */
WTT_API const char *wtt_tables_json(wtt_doc *doc, size_t *len);

/* The same less its "header", "rows" and "cells": what a list of tables
 * written as CSV files keeps beside them. */
WTT_API const char *wtt_table_summary_json(wtt_doc *doc, size_t t, size_t *len);

/* Table t's grid: header rows first, then body rows. */
WTT_API size_t wtt_grid_rows(const wtt_doc *doc, size_t t);
WTT_API size_t wtt_header_rows(const wtt_doc *doc, size_t t);
WTT_API size_t wtt_grid_columns(const wtt_doc *doc, size_t t);
/* The label of column `col`. */
WTT_API const char *wtt_column(const wtt_doc *doc, size_t t, size_t col);
/* The text of a slot; NULL for a slot that no cell covers. */
WTT_API const char *wtt_slot(const wtt_doc *doc, size_t t, size_t row, size_t col);
/* The caption's text, or NULL. */
WTT_API const char *wtt_caption(const wtt_doc *doc, size_t t);

/* Table t as CSV (RFC 4180 quoting, CRLF line ends; `separator` ',' or
 * '\t' for TSV): the column labels, then the body rows. */
WTT_API const char *wtt_table_csv(wtt_doc *doc, size_t t, char separator, size_t *len);

/* The HTML that the converter gives for the text (its tables alone with a
 * non-zero `tables_only`), rendered from the tables read: the same bytes.
 * NULL when memory ran out or the text failed. */
WTT_API const char *wtt_html(wtt_doc *doc, int tables_only, size_t *len);

/* "1.0.0" */
WTT_API const char *wtt_version(void);

#ifdef __cplusplus
}
#endif

#endif
