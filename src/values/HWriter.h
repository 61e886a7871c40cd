// The page writers: every byte of a page goes through these functions into the
// context's page buffer. Tag names are written as the tag table spells them (upper case).
// Author text is written as it stands; data (request values, CGI variables, result columns)
// passes through EscapeForHtml once, as values are evaluated for the page (HText::kPage).
// In post-process mode callers do not write at all; the writers themselves do not check.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

class HContext;
class HValue;

void WriteText(HContext& ctx, std::string_view text);
// The text between double quotes, unescaped.
void WriteQuoted(HContext& ctx, std::string_view text);
// "<" and the table name of the tag.
void WriteTagOpen(HContext& ctx, int tagIndex);
void WriteTagClose(HContext& ctx);
// The end tag of a tag that has one in the table (22..56); nothing otherwise.
void WriteEndTag(HContext& ctx, int tagIndex);
// A value evaluated for the page, as running text.
void WriteValue(HContext& ctx, const HValue& value);
// " NAME", and for a value "=" and its evaluated text, quoted when the value was written as
// a quoted string or `@@`, or when data in it holds a blank or a line break that would end
// an unquoted value (a visitor's `x onclick=...` stays one value).
void WriteAttribute(HContext& ctx, const std::string& name, const HValue* value);

// Data made safe for a page: < > & " become numeric character references, and LF or CR LF
// becomes <BR>. Stops at a zero byte.
std::string EscapeForHtml(std::string_view text);
// The same, appended to `out`.
void AppendEscapedHtml(std::string& out, std::string_view text);

}  // namespace quorvel
