// Reads the conversion case tables in tests/cases/.
#ifndef WTTABLE_TESTS_CASE_FILE_H
#define WTTABLE_TESTS_CASE_FILE_H

#include <string>
#include <vector>

struct ConversionCase {
    std::string name;
    int line = 0;
    std::string input;
    bool has_tables = false;
    std::string tables;
    bool has_document = false;
    std::string document;
};

// Loads every case of a file; on a malformed file, returns what it read and
// sets `error`.
std::vector<ConversionCase> load_cases(const std::string &path, std::string *error);

// A C-style quoted form of bytes, so that CR, TAB and a final LF stay visible.
std::string escaped(const std::string &bytes);

#endif
