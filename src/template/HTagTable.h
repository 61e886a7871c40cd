// The tag table: the 92 tag names by index. 0..3 are token kinds (end of input, empty,
// text, unknown tag); 4..56 are start tags; 57..91 end tags. The end tag of start tag i
// (22..56) has index i + 35. Names are stored in upper case.
#pragma once

#include <string_view>

namespace quorvel {

enum TagIndex {
    kTagEof = 0,
    kTagEmpty = 1,
    kTagText = 2,
    kTagUnknown = 3,
    kTagInput = 13,
    kTagSql = 14,
    kTagLookup = 15,
    kTagInclude = 16,
    kTagFunction = 17,
    kTagLi = 18,
    kTagDt = 19,
    kTagDd = 20,
    kTagOption = 21,
    kTagDbResult = 22,
    kTagHtml = 23,
    kTagP = 33,
    kTagForm = 54,
    kTagTextArea = 56,
};

constexpr int kTagCount = 92;
constexpr int kFirstStartTag = 4;
constexpr int kLastStartTag = 56;
constexpr int kFirstEndTag = 57;
constexpr int kLastEndTag = 91;
constexpr int kEndTagOffset = 35;

// The table name of an index (empty for 0..3 and out-of-range indices).
std::string_view TagName(int index);
// The index of a tag name compared ignoring case over 4..91, or kTagUnknown.
int LookupTag(std::string_view name);

}  // namespace quorvel
