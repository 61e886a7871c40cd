#include "values/HWriter.h"

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

void WriteValue(HContext& ctx, const HValue& value) {
    HText text(HText::kPage);
    value.EvaluateInto(ctx, nullptr, text);
    WriteText(ctx, text.text);
}

void WriteAttribute(HContext& ctx, const std::string& name, const HValue* value) {
    ctx.page->Write(" ", 1);
    ctx.page->Write(name);
    if (!value)
        return;
    HText text(HText::kPage);
    value->EvaluateInto(ctx, nullptr, text);
    ctx.page->Write("=", 1);
    if (value->Kind() == HValue::kLiteral || value->Kind() == HValue::kQuoted ||
        (text.hasData && text.text.find_first_of(" \t\r\f<") != std::string::npos))
        WriteQuoted(ctx, text.text);
    else
        WriteText(ctx, text.text);
}

std::string EscapeForHtml(std::string_view text) {
    std::string out;
    AppendEscapedHtml(out, text);
    return out;
}

void AppendEscapedHtml(std::string& out, std::string_view text) {
    // Room for the text and a few references, unless it fits already (a short value in an
    // empty string stays in the string's own buffer, with no allocation).
    if (out.capacity() < out.size() + text.size())
        out.reserve(out.size() + text.size() + 16);
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        size_t start = i;
        while (i < n) {
            char c = text[i];
            if (c == '<' || c == '>' || c == '&' || c == '"' || c == '\n' || c == '\0' ||
                (c == '\r' && i + 1 < n && text[i + 1] == '\n'))
                break;
            ++i;
        }
        out.append(text.data() + start, i - start);
        if (i == n || text[i] == '\0')
            break;
        switch (text[i]) {
        case '<': out += "&#60;"; break;
        case '>': out += "&#62;"; break;
        case '&': out += "&#38;"; break;
        case '"': out += "&#34;"; break;
        case '\n': out += "<BR>"; break;
        case '\r': out += "<BR>"; ++i; break;  // CR LF: one line break
        }
        ++i;
    }
}

}  // namespace quorvel
