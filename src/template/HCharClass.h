// Character classes of the template syntax, shared by the scanner, the attribute reader
// and the value parser so that all three agree on them.
#pragma once

namespace quorvel {

// White space between attributes and before values: blank, tab, newline (not CR).
inline bool IsTemplateBlank(int c) { return c == ' ' || c == '\t' || c == '\n'; }

// White space a browser reads between a tag's attributes: the template's blanks, and the
// form feed and carriage return (a name must not begin with one: `\fSTYLE` is the STYLE
// attribute to a browser).
inline bool IsTagBlank(int c) { return IsTemplateBlank(c) || c == '\f' || c == '\r'; }

// An ASCII letter: what a tag name, or a URL's scheme, begins with.
inline bool IsAsciiLetter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Letters, digits and underscore: the rest of an attribute name or an `@name`.
inline bool IsTemplateNameChar(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// ASCII upper case; every other byte unchanged.
inline char TemplateUpper(int c) { return static_cast<char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c); }

}  // namespace quorvel
