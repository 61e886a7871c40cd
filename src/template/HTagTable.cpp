#include "template/HTagTable.h"

#include <cstdint>

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

// A name of at most 11 bytes as two numbers, zero-padded, so that comparing two names is
// comparing two pairs of numbers.
struct PackedName {
    uint64_t head = 0, tail = 0;
    bool operator==(const PackedName& o) const { return head == o.head && tail == o.tail; }
};

// Lower-case ASCII letters are packed upper-cased.
PackedName Pack(const char* p, size_t n) {
    auto upper = [](char c) -> uint64_t {
        unsigned char u = static_cast<unsigned char>(c);
        return u >= 'a' && u <= 'z' ? u - 'a' + 'A' : u;
    };
    PackedName packed;
    for (size_t i = 0; i < n && i < 8; ++i)
        packed.head |= upper(p[i]) << (8 * i);
    for (size_t i = 8; i < n; ++i)
        packed.tail |= upper(p[i]) << (8 * (i - 8));
    return packed;
}

// Names chained by (length, last byte), built once per process: a lookup compares only
// the few names (at most four) that share both.
struct TagIndexByKey {
    signed char head[12][128];
    signed char next[kTagCount];
    PackedName packed[kTagCount];
    TagIndexByKey() {
        for (auto& row : head)
            for (auto& h : row)
                h = -1;
        for (int i = kTagCount - 1; i >= kFirstStartTag; --i) {
            const std::string_view t = kNames[i];
            signed char& h = head[t.size()][static_cast<unsigned char>(t.back())];
            next[i] = h;
            h = static_cast<signed char>(i);
            packed[i] = Pack(t.data(), t.size());
        }
    }
};
const TagIndexByKey kIndex;

}  // namespace

int LookupTag(std::string_view name) {
    if (name.empty() || name.size() > 11)
        return kTagUnknown;
    // Tag names are ASCII: compare with the table in upper case.
    const unsigned char last = static_cast<unsigned char>(name.back());
    if (last >= 128)
        return kTagUnknown;
    int i = kIndex.head[name.size()][last >= 'a' && last <= 'z' ? last - 'a' + 'A' : last];
    if (i < 0)
        return kTagUnknown;  // no name of this length ends so: most unknown tags (DIV, SPAN)
    const PackedName key = Pack(name.data(), name.size());
    for (; i >= 0; i = kIndex.next[i])
        if (kIndex.packed[i] == key)
            return i;
    return kTagUnknown;
}

}  // namespace quorvel
