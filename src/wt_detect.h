/* The detector: whether a text holds any table at all, without converting
 * it. */
#ifndef WT_DETECT_H
#define WT_DETECT_H

/* 1 if some line of `text` is a table start line (whitespace, colons,
 * whitespace, "{|"), else 0; a null text gives 0.  Reads only as far as the
 * first such line. */
int wttable_detect_has_tables(const char *text);

#endif
