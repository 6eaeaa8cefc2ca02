// A deterministic article-like text with tables of every kind, for tests
// that need more than a few lines.
#ifndef WTTABLE_TESTS_ARTICLE_H
#define WTTABLE_TESTS_ARTICLE_H

#include <string>

inline std::string make_article(int sections)
{
    std::string text = "'''Sample''' is an article.\n\n";
    for (int s = 0; s < sections; s++) {
        std::string n = std::to_string(s);
        text += "== Section " + n + " ==\nSome prose with a [[link|label]] and 100% text.\r\n\n";
        text += ":{| class=\"wikitable\" style=\"width:50%\"\n|+ Caption " + n + "\n";
        text += "! scope=col | Name !! Value || Note\n|- style=\"color:red\"\n";
        text += "| [[Item|item " + n + "]] || align=right | " + n + " || -{zh|x}- note\n";
        text += "|-\n| colspan=2 | spanning\n continued text\n\n| last\n";
        text += "{|\n| nested " + n + " || x\n|}\n|} after\n";
        text += "* a list item\n   \n";
    }
    text += "{|\n| left open";
    return text;
}

#endif
