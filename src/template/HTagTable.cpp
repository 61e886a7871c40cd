#include "template/HTagTable.h"

#include "template/HCharClass.h"


namespace quorvel {

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

// Names chained by (length, last byte), built once per process: a lookup compares only
// the few names (at most four) that share both.
struct TagIndexByKey {
    signed char head[12][128];
    signed char next[kTagCount];
    TagIndexByKey() {
        for (auto& row : head)
            for (auto& h : row)
                h = -1;
        for (int i = kTagCount - 1; i >= kFirstStartTag; --i) {
            const std::string_view t = kNames[i];
            signed char& h = head[t.size()][static_cast<unsigned char>(t.back())];
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
    // Tag names are ASCII: compared with the table in upper case.
    const unsigned char last = static_cast<unsigned char>(name.back());
    if (last >= 128)
        return kTagUnknown;
    int i = kIndex.head[name.size()][last >= 'a' && last <= 'z' ? last - 'a' + 'A' : last];
    if (i < 0)
        return kTagUnknown;  // no name of this length ends so: most unknown tags (DIV, SPAN)
    for (; i >= 0; i = kIndex.next[i]) {
        // Same length and last byte: the rest compared byte by byte, upper-cased.
        const char* t = kNames[i].data();
        size_t k = 0;
        while (k + 1 < name.size() && TemplateUpper(static_cast<unsigned char>(name[k])) == t[k])
            ++k;
        if (k + 1 == name.size())
            return i;
    }
    return kTagUnknown;
}

}  // namespace quorvel
