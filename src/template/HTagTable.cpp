#include "template/HTagTable.h"

#include <strings.h>

namespace {

const char* const kNames[kTagCount] = {
    "EOF", "EMPTY", "TEXT", "",
    "BASE", "ISINDEX", "LINK", "META", "NEXTID", "HR", "BR", "IMG", "COMMENT", "INPUT",
    "SQL", "LOOKUP", "INCLUDE", "FUNCTION", "LI", "DT", "DD", "OPTION",
    "DBRESULT", "HTML", "HEAD", "TITLE", "BODY", "H1", "H2", "H3", "H4", "H5", "H6", "P",
    "PRE", "ADDRESS", "BLOCKQUOTE", "OL", "UL", "DIR", "MENU", "DL", "I", "EM", "B",
    "STRONG", "CITE", "CODE", "KBD", "SAMP", "VAR", "TT", "DFN", "A", "FORM", "SELECT",
    "TEXTAREA",
    "/DBRESULT", "/HTML", "/HEAD", "/TITLE", "/BODY", "/H1", "/H2", "/H3", "/H4", "/H5",
    "/H6", "/P", "/PRE", "/ADDRESS", "/BLOCKQUOTE", "/OL", "/UL", "/DIR", "/MENU", "/DL",
    "/I", "/EM", "/B", "/STRONG", "/CITE", "/CODE", "/KBD", "/SAMP", "/VAR", "/TT", "/DFN",
    "/A", "/FORM", "/SELECT", "/TEXTAREA",
};

}  // namespace

std::string_view TagName(int index) {
    if (index < kFirstStartTag || index >= kTagCount)
        return std::string_view();
    return kNames[index];
}

int LookupTag(std::string_view name) {
    if (name.empty() || name.size() > 11)
        return kTagUnknown;
    for (int i = kFirstStartTag; i < kTagCount; ++i) {
        std::string_view t = kNames[i];
        if (t.size() == name.size() && strncasecmp(t.data(), name.data(), t.size()) == 0)
            return i;
    }
    return kTagUnknown;
}
