// A plain, slow converter written straight from the markup rules, byte by
// byte with std::string: the fast converter must give the same bytes.  It
// shares nothing with the library, not even src/wt_markup_rules.h, on
// purpose: it is the oracle, and a rule written wrong there must not be
// wrong here too.
#ifndef WTTABLE_TESTS_REFERENCE_PARSER_H
#define WTTABLE_TESTS_REFERENCE_PARSER_H

#include <string>

// The HTML of `text` (read up to its first NUL) in tables-only or document
// mode; false at the 65th nested table.
bool reference_convert(const char *text, bool tables_only, std::string *html);

#endif
