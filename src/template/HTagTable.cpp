#include "template/HTagTable.h"

namespace {

constexpr std::string_view kNames[kTagCount] = {
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

namespace {

// Names chained by (length, first byte), built once per process: a lookup compares only
// the few names that share both.
struct TagIndexByKey {
    signed char head[12][128];
    signed char next[kTagCount];
    TagIndexByKey() {
        for (auto& row : head)
            for (auto& h : row)
                h = -1;
        for (int i = kTagCount - 1; i >= kFirstStartTag; --i) {
            const std::string_view t = kNames[i];
            signed char& h = head[t.size()][static_cast<unsigned char>(t[0])];
            next[i] = h;
            h = static_cast<signed char>(i);
        }
    }
};
const TagIndexByKey kIndex;

}  // namespace

int LookupTag(std::string_view name) {
    if (name.empty() || name.size() > 11)
        return kTagUnknown;
    // Tag names are ASCII: compare with the table in upper case.
    char upper[12];
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    const std::string_view key(upper, name.size());
    const unsigned char first = static_cast<unsigned char>(key[0]);
    if (first >= 128)
        return kTagUnknown;
    for (int i = kIndex.head[key.size()][first]; i >= 0; i = kIndex.next[i])
        if (kNames[i] == key)
            return i;
    return kTagUnknown;
}
