#include "values/HWriter.h"

#include <cstring>

#include "values/HContext.h"
#include "template/HTagTable.h"
#include "values/HValue.h"

namespace quorvel {

void WriteText(HContext& ctx, std::string_view text) { ctx.page->Write(text); }

void WriteQuoted(HContext& ctx, std::string_view text) {
    ctx.page->Write("\"", 1);
    ctx.page->Write(text);
    ctx.page->Write("\"", 1);
}

void WriteTagOpen(HContext& ctx, int tagIndex) {
    ctx.page->Write("<", 1);
    ctx.page->Write(TagName(tagIndex));
}

void WriteTagClose(HContext& ctx) { ctx.page->Write(">", 1); }

void WriteEndTag(HContext& ctx, int tagIndex) {
    int end = tagIndex + kEndTagOffset;
    if (end >= kFirstEndTag && end <= kLastEndTag) {
        ctx.page->Write("<", 1);
        ctx.page->Write(TagName(end));
        ctx.page->Write(">", 1);
    }
}

bool EvaluateAttribute(HContext& ctx, const std::string& name, const HValue& value, HText::Sink content,
                       std::string& out) {
    HText text(content == HText::kPage ? AttributeSink(name) : content, IsUrlAttribute(name));
    value.EvaluateInto(ctx, nullptr, text);
    // The scheme is judged on the raw data and what follows it (`@A@B`, `@A:x`).
    if (!text.LeadingData().empty() &&
        !IsHarmlessUrl(text.LeadingData() + text.text.substr(text.LeadingDataEnd(), 64)))
        text.text.replace(0, text.LeadingDataEnd(), "#blocked");
    out = std::move(text.text);
    // A value goes bare only when a browser reads it as one value to its end. Data must hold
    // no blank, no tag, and no single quote or backquote (with which a browser may begin a
    // quoted value: `CLASS='` and later text `' ONCLICK=...`). The author's text must not
    // open a quote that it does not close at its end (`'x` of `CLASS='x>y'`, cut at the `>`).
    const char first = out.empty() ? 0 : out[0];
    const bool opensQuote = (first == '\'' || first == '"') && out.find(first, 1) != out.size() - 1;
    const bool quoted = value.Kind() == HValue::kLiteral || value.Kind() == HValue::kQuoted || opensQuote ||
                        (text.hasData && out.find_first_of(" \t\r\f<'`") != std::string::npos);
    // Data never leaves a `"` here (it is escaped for the attribute); one of the author's
    // (`""` in a double-quoted value, `"` in a single-quoted one) would end the value early
    // for a browser, and what follows it would be read as attributes of its own.
    if (quoted)
        for (size_t at = out.find('"'); at != std::string::npos; at = out.find('"', at + 5))
            out.replace(at, 1, "&#34;");
    return quoted;
}

void WriteAttribute(HContext& ctx, const std::string& name, const HValue* value, HText::Sink content) {
    ctx.page->Write(" ", 1);
    ctx.page->Write(name);
    if (!value)
        return;
    std::string text;
    const bool quoted = EvaluateAttribute(ctx, name, *value, content, text);
    ctx.page->Write("=", 1);
    if (quoted)
        WriteQuoted(ctx, text);
    else
        WriteText(ctx, text);
}

HText::Sink AttributeSink(std::string_view name) {
    if (name.size() >= 2 && name[0] == 'O' && name[1] == 'N')
        return HText::kScript;
    return name == "STYLE" ? HText::kStyle : HText::kPage;
}

bool IsUrlAttribute(std::string_view name) {
    static constexpr std::string_view kUrlAttributes[] = {
        "HREF", "SRC", "ACTION", "FORMACTION", "BACKGROUND", "CITE", "LONGDESC", "USEMAP", "DATA", "POSTER"};
    for (std::string_view url : kUrlAttributes)
        if (name == url)
            return true;
    return false;
}

bool IsHarmlessUrl(std::string_view url) {
    size_t i = 0;
    while (i < url.size() && static_cast<unsigned char>(url[i]) <= ' ')
        ++i;
    // The scheme, lower-cased; anything longer than "mailto" is no scheme allowed.
    std::string scheme;
    for (; i < url.size(); ++i) {
        char c = url[i];
        if (c == '\t' || c == '\n' || c == '\r')
            continue;
        if (c == '/' || c == '?' || c == '#')
            return true;  // relative: no scheme before the path
        if (c == ':')
            return scheme == "http" || scheme == "https" || scheme == "mailto";
        if (scheme.size() <= 6)
            scheme += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return true;
}

std::string EscapeForHtml(std::string_view text) {
    std::string out;
    AppendEscapedHtml(out, text);
    return out;
}

namespace {

// Per byte: how many bytes its reference adds (at most; CR LF adds two, the LF counted
// alone adds three), and whether it is written otherwise than as it stands (kOwn).
constexpr unsigned char kOwn = 8;
const struct HtmlByteClasses {
    unsigned char of[256] = {};
    HtmlByteClasses() {
        for (unsigned char c : {'<', '>', '&', '"'})
            of[c] = kOwn | 4;
        of['\n'] = kOwn | 3;
        of['\r'] = kOwn;
        of[0] = kOwn;
    }
} kHtmlClass;
// The most a byte becomes.
constexpr size_t kMostPerByte = 5;

// Writes the n bytes at s escaped from p on, which has room for them; returns the end.
char* EscapeHtmlTo(char* p, const unsigned char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = s[i];
        if (!kHtmlClass.of[c]) {
            *p++ = static_cast<char>(c);
            continue;
        }
        switch (c) {
        case '<': std::memcpy(p, "&#60;", 5); p += 5; break;
        case '>': std::memcpy(p, "&#62;", 5); p += 5; break;
        case '&': std::memcpy(p, "&#38;", 5); p += 5; break;
        case '"': std::memcpy(p, "&#34;", 5); p += 5; break;
        case '\n': std::memcpy(p, "<BR>", 4); p += 4; break;
        case '\r':  // CR LF: one line break; a CR alone stays
            if (i + 1 < n && s[i + 1] == '\n') {
                std::memcpy(p, "<BR>", 4);
                p += 4;
                ++i;
            } else {
                *p++ = '\r';
            }
            break;
        default:  // the zero byte ends the text
            return p;
        }
    }
    return p;
}

// Escapes a short text on the stack and hands it to write(const char*, size_t) at once;
// false, having done nothing, for a longer one.
constexpr size_t kShortText = 64;
template <class Write>
bool EscapeShortHtml(std::string_view text, Write&& write) {
    if (text.size() > kShortText)
        return false;
    char local[kShortText * kMostPerByte];
    const char* end = EscapeHtmlTo(local, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    write(local, static_cast<size_t>(end - local));
    return true;
}

}  // namespace

void AppendEscapedHtml(std::string& out, std::string_view text) {
    // A short text is escaped on the stack and appended at once; a longer one in place,
    // in the room it may take. Either way there is no append per reference.
    if (EscapeShortHtml(text, [&out](const char* p, size_t n) { out.append(p, n); }))
        return;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t room = n;
    for (size_t i = 0; i < n; ++i)
        room += kHtmlClass.of[s[i]] & 7;
    const size_t start = out.size();
    out.resize(start + room);
    char* const begin = &out[0];
    out.resize(static_cast<size_t>(EscapeHtmlTo(begin + start, s, n) - begin));
}

void WriteValue(HContext& ctx, const HValue& value, HText::Sink sink) {
    // A result column in running text, the most frequent value of a page, is escaped
    // straight from its buffer.
    if (sink == HText::kPage && value.Kind() == HValue::kVarRef) {
        if (const char* cell = static_cast<const HVarRef&>(value).Column(ctx)) {
            const std::string_view column(cell);
            HPage& page = *ctx.page;
            if (!EscapeShortHtml(column, [&page](const char* p, size_t n) { page.Write(p, n); })) {
                ctx.valueText.clear();
                AppendEscapedHtml(ctx.valueText, column);
                WriteText(ctx, ctx.valueText);
            }
            return;
        }
    }
    HText text(sink);
    value.EvaluateInto(ctx, nullptr, text);
    WriteText(ctx, text.text);
}

namespace {

const char kHex[] = "0123456789ABCDEF";

// Appends the run of bytes from `i` that `keep` lets through, and moves `i` past it.
template <class Keep>
void AppendKept(std::string& out, std::string_view text, size_t& i, Keep keep) {
    size_t start = i;
    while (i < text.size() && keep(static_cast<unsigned char>(text[i])))
        ++i;
    out.append(text.data() + start, i - start);
}

bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

void AppendEscapedScript(std::string& out, std::string_view text) {
    auto keep = [](unsigned char c) { return IsAsciiAlnum(c) || c == ' ' || c == '_' || c == ',' || c == '.'; };
    for (size_t i = 0;;) {
        AppendKept(out, text, i, keep);
        if (i == text.size())
            return;
        size_t n = static_cast<unsigned char>(text[i]) >= 0x80 ? Utf8Length(text, i) : 1;
        if (n == 3 && text.compare(i, 2, "\xE2\x80") == 0 && (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
            out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
        } else if (n > 1) {
            out.append(text.data() + i, n);
        } else {
            unsigned char c = static_cast<unsigned char>(text[i]);
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        i += n;
    }
}

void AppendEscapedCss(std::string& out, std::string_view text) {
    auto keep = [](unsigned char c) {
        return IsAsciiAlnum(c) || c == ' ' || c == '_' || c == ',' || c == '.' || c == '#' || c == '%' || c == '-';
    };
    for (size_t i = 0;;) {
        AppendKept(out, text, i, keep);
        if (i == text.size())
            return;
        unsigned char c = static_cast<unsigned char>(text[i++]);
        out += '\\';
        out += kHex[c >> 4];
        out += kHex[c & 15];
        out += ' ';
    }
}

std::string ForComment(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '-' && !out.empty() && out.back() == '-')
            out += ' ';
        out += c;
    }
    return out;
}

std::string DataForComment(std::string_view text) { return ForComment(EscapeForHtml(text)); }

size_t Utf8Length(std::string_view s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 1;
    if (i + n > s.size())
        return 1;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 1;
    // Overlong forms, UTF-16 surrogates and code points beyond U+10FFFF are not characters.
    unsigned char d = static_cast<unsigned char>(s[i + 1]);
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) ||
        (c == 0xF4 && d > 0x8F))
        return 1;
    return n;
}

std::string PercentEncoded(std::string_view text, bool keepSlash) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~' || (keepSlash && c == '/')) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

}  // namespace quorvel
