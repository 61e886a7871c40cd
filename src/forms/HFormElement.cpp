#include "forms/HFormElement.h"

#include <cstdlib>

#include "driver/HContext.h"
#include "forms/HPostProcess.h"
#include "template/HTagTable.h"
#include "template/HWriter.h"

namespace {

// Appends `text` with the bytes that are unsafe in an unquoted attribute value (and, for a
// path piece, those that would change the path) percent-encoded.
void AppendUrlPiece(std::string& out, const std::string& text, bool path) {
    static const char kHex[] = "0123456789ABCDEF";
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        bool unsafe = c <= 0x20 || c == 0x7F || c == '"' || c == '\'' || c == '<' || c == '>' ||
                      c == '`' || (path && (c == '%' || c == '#' || c == '?'));
        if (unsafe) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

std::string RewrittenFormTarget() {
    // A page that came over TLS posts its form over TLS too: HTTPS is "on" or
    // REQUEST_SCHEME is "https" (either in any case, as web servers differ).
    auto lower = [](std::string text) {
        for (char& c : text)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return text;
    };
    bool tls = lower(Env("HTTPS")) == "on" || lower(Env("REQUEST_SCHEME")) == "https";
    std::string url = tls ? "https://" : "http://";
    AppendUrlPiece(url, Env("SERVER_NAME"), false);
    url += ':';
    AppendUrlPiece(url, Env("SERVER_PORT"), false);
    AppendUrlPiece(url, Env("SCRIPT_NAME"), true);
    if (const char* raw = std::getenv("PATH_INFO")) {
        std::string pathInfo = raw;
        if (pathInfo.find('\\') != std::string::npos) {
            for (char& c : pathInfo)
                if (c == '\\')
                    c = '/';
            ::setenv("PATH_INFO", pathInfo.c_str(), 1);
        }
        AppendUrlPiece(url, pathInfo, true);
    }
    if (const char* query = std::getenv("QUERY_STRING")) {
        url += '?';
        AppendUrlPiece(url, query, false);
    }
    return url;
}

HFormElement::HFormElement() : HElement(kTagForm) {}

void HFormElement::Output(HContext& ctx) {
    if (ctx.postProcess)
        PostProcessForm(ctx);
    else
        WriteForm(ctx);
}

void HFormElement::WriteAttributes(HContext& ctx) {
    if (!HasAttribute("SQLACTION")) {
        HElement::WriteAttributes(ctx);
        return;
    }
    attributes_.ForEach([&](const std::string& name, const HValuePtr& value) {
        if (name == "SQLACTION" || name == "VALIDATION" || name == "PARAM")
            return;
        if (name == "ACTION") {
            WriteText(ctx, " ACTION=");
            WriteText(ctx, RewrittenFormTarget());
            ctx.formAction = value ? value->GetText() : std::string();
            return;
        }
        WriteAttribute(ctx, name, value.get());
    });
}

void HFormElement::WriteForm(HContext& ctx) {
    ctx.maxNameModifier.clear();
    WriteTagOpen(ctx, tagIndex_);
    WriteAttributes(ctx);
    WriteTagClose(ctx);
    OutputChildren(ctx);
    if (ctx.maxNameModifier.empty())
        ctx.maxNameModifier = "___1";
    if (HasAttribute("SQLACTION")) {
        WriteText(ctx, "<INPUT TYPE=HIDDEN NAME=_POST_PROCESS_ VALUE=");
        WriteQuoted(ctx, ctx.formAction);
        WriteText(ctx, ">");
        WriteText(ctx, "<INPUT TYPE=HIDDEN NAME=_MAX_NAME_MODIFIER_ VALUE=");
        WriteQuoted(ctx, ctx.maxNameModifier);
        WriteText(ctx, ">");
    }
    WriteEndTag(ctx, tagIndex_);
}

void HFormElement::PostProcessForm(HContext& ctx) {
    // The content first: SQL elements define their actions, fields check their values,
    // and a failed check stops the request before anything reaches the database.
    OutputChildren(ctx);
    RunValidation(ctx, *this);
    RunSqlAction(ctx, *this);
}
