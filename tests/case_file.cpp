#include "case_file.h"

#include <fstream>
#include <sstream>

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes one quoted string that starts at `at`; false on a malformed one.
static bool decode_quoted(const std::string &line, size_t at, std::string *out)
{
    if (at >= line.size() || line[at] != '"')
        return false;
    for (size_t i = at + 1; i < line.size(); i++) {
        char c = line[i];
        if (c == '"')
            return line.find_first_not_of(" \t", i + 1) == std::string::npos;
        if (c != '\\') {
            out->push_back(c);
            continue;
        }
        if (++i >= line.size())
            return false;
        switch (line[i]) {
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'v': out->push_back('\v'); break;
        case 'f': out->push_back('\f'); break;
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case 'x': {
            if (i + 2 >= line.size())
                return false;
            int hi = hex_value(line[i + 1]);
            int lo = hex_value(line[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            out->push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return false;
}

std::vector<ConversionCase> load_cases(const std::string &path, std::string *error)
{
    std::vector<ConversionCase> cases;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return cases;
    }
    std::string line;
    std::string *field = nullptr;
    int number = 0;
    auto fail = [&](const std::string &why) {
        *error = path + ":" + std::to_string(number) + ": " + why;
    };
    while (std::getline(in, line)) {
        number++;
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[0] == '#') {
            field = nullptr;
            continue;
        }
        if (line.compare(0, 3, "== ") == 0) {
            ConversionCase c;
            c.name = line.substr(3);
            c.line = number;
            cases.push_back(c);
            field = nullptr;
            continue;
        }
        if (cases.empty()) {
            fail("text before the first case");
            return cases;
        }
        ConversionCase &c = cases.back();
        if (first > 0 && line[first] == '"' && field != nullptr) {
            if (!decode_quoted(line, first, field)) {
                fail("malformed string");
                return cases;
            }
            continue;
        }
        std::string key = line.substr(0, line.find_first_of(" \t"));
        size_t value = line.find('"');
        if (key == "in")
            field = &c.input;
        else if (key == "tables")
            field = &c.tables, c.has_tables = true;
        else if (key == "document")
            field = &c.document, c.has_document = true;
        else {
            fail("unknown key '" + key + "'");
            return cases;
        }
        if (value == std::string::npos || !decode_quoted(line, value, field)) {
            fail("malformed string");
            return cases;
        }
    }
    return cases;
}

std::string escaped(const std::string &bytes)
{
    std::ostringstream out;
    out << '"';
    for (unsigned char c : bytes) {
        switch (c) {
        case '\n': out << "\\n"; break;
        case '\r': out << "\\r"; break;
        case '\t': out << "\\t"; break;
        case '"': out << "\\\""; break;
        case '\\': out << "\\\\"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                static const char digits[] = "0123456789abcdef";
                out << "\\x" << digits[c >> 4] << digits[c & 15];
            } else {
                out << static_cast<char>(c);
            }
        }
    }
    out << '"';
    return out.str();
}
