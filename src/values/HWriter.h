// The page writers: every byte of a page goes through these functions into the
// context's page buffer. Tag names are written as the tag table spells them (upper case).
// Author text is written as it stands; data (request values, CGI variables, result columns)
// is escaped once, for the place it lands in, as values are evaluated for the page: running
// text and plain attribute values through EscapeForHtml (HText::kPage), SCRIPT content and
// event handlers as JavaScript (kScript), STYLE content and attribute as CSS (kStyle), and a
// URL attribute that starts with data keeps that data only for a harmless scheme.
// In post-process mode callers do not write at all; the writers themselves do not check.
#pragma once

#include <string>
#include <string_view>

#include "values/HValue.h"

namespace quorvel {

class HContext;

void WriteText(HContext& ctx, std::string_view text);
// The text between double quotes, unescaped.
void WriteQuoted(HContext& ctx, std::string_view text);
// "<" and the table name of the tag.
void WriteTagOpen(HContext& ctx, int tagIndex);
void WriteTagClose(HContext& ctx);
// The end tag of a tag that has one in the table (22..56); nothing otherwise.
void WriteEndTag(HContext& ctx, int tagIndex);
// A value evaluated for the page, as running text, or as the content of the SCRIPT or
// STYLE element it stands in (`sink` kScript, kStyle).
void WriteValue(HContext& ctx, const HValue& value, HText::Sink sink = HText::kPage);
// " NAME", and for a value "=" and its evaluated text, quoted when the value was written as
// a quoted string or `@@`, or when data in it holds a blank or a line break that would end
// an unquoted value (a visitor's `x onclick=...` stays one value). The attribute's name
// decides how data is escaped (AttributeSink); in a URL attribute, data that starts the
// text and is neither a relative URL nor an http:, https: or mailto: one is written as
// `#blocked`. Inside SCRIPT or STYLE content (`content` kScript, kStyle) every attribute is
// text of the script or style sheet, and its data is escaped as such.
void WriteAttribute(HContext& ctx, const std::string& name, const HValue* value,
                    HText::Sink content = HText::kPage);
// A value of the attribute `name` evaluated into `out` as WriteAttribute writes it after
// the `=`; returns whether it is quoted. The reader serialises a tag's constant attributes
// through it, so that they read as they would be written.
bool EvaluateAttribute(HContext& ctx, const std::string& name, const HValue& value, HText::Sink content,
                       std::string& out);
// kScript for an event handler (a name beginning with ON), kStyle for STYLE, kPage
// otherwise. `name` is upper case.
HText::Sink AttributeSink(std::string_view name);
// Whether the attribute holds a URL (HREF, SRC, ACTION, ...). `name` is upper case.
bool IsUrlAttribute(std::string_view name);
// Whether a URL is relative or starts with http:, https: or mailto: (case, leading blanks
// and control bytes, and tabs and line breaks inside the scheme ignored, as browsers do).
bool IsHarmlessUrl(std::string_view url);

// Data made safe for a page: < > & " become numeric character references, and LF or CR LF
// becomes <BR>. Stops at a zero byte.
std::string EscapeForHtml(std::string_view text);
// The same, appended to `out`.
void AppendEscapedHtml(std::string& out, std::string_view text);
// Data made safe for a script: every ASCII byte outside [A-Za-z0-9 _,.] as `\xHH`, U+2028
// and U+2029 as `\u2028` and `\u2029`, other UTF-8 sequences whole, a byte that starts none
// as `\xHH`. It can end neither a string, nor a statement, nor the script.
void AppendEscapedScript(std::string& out, std::string_view text);
// Data made safe for a style sheet: every byte outside [A-Za-z0-9 _,.#%-] as `\HH `.
void AppendEscapedCss(std::string& out, std::string_view text);
// `text` with a blank between two hyphens, so that it cannot end an HTML comment.
std::string ForComment(std::string_view text);
// Data for a comment of a page or the debug log: EscapeForHtml, then ForComment.
std::string DataForComment(std::string_view text);

// The length of the UTF-8 sequence that starts at `i`, or 1 for a byte that starts none (the
// browser shows each such byte as one replacement character).
size_t Utf8Length(std::string_view s, size_t i);

// `text` for a URL: every byte but letters, digits and - . _ ~ (and `/` when `keepSlash`)
// percent-encoded.
std::string PercentEncoded(std::string_view text, bool keepSlash = false);

}  // namespace quorvel
