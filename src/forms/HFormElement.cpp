#include "forms/HFormElement.h"

#include <cstdlib>

#include "values/HContext.h"
#include "forms/HPostProcess.h"
#include "values/HSymbolTable.h"
#include "values/HValue.h"
#include "template/HTagTable.h"
#include "values/HWriter.h"

namespace quorvel {

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

// The page a post-processed form leads to when its ACTION holds references
// (`"thanks.htmx?ORDER=@ORDER"`): the template's text with each reference replaced by the
// submitted value, URL-encoded. Other text stays as written.
bool IsReference(const HValue& v) {
    return v.Kind() == HValue::kVarRef || v.Kind() == HValue::kFuncCall;
}

const std::vector<HValuePtr>* QuotedPieces(const HValue& v) {
    return v.Kind() == HValue::kQuoted ? &static_cast<const HQuotedValue&>(v).Pieces() : nullptr;
}

bool HoldsReference(const HValue& action) {
    if (const std::vector<HValuePtr>* pieces = QuotedPieces(action)) {
        for (const HValuePtr& p : *pieces)
            if (IsReference(*p))
                return true;
        return false;
    }
    return IsReference(action);
}

std::string ActionWithValues(HContext& ctx, const HValue& action) {
    auto piece = [&](const HValue& v) {
        return IsReference(v) ? PercentEncoded(v.Evaluate(ctx, nullptr)) : v.Evaluate(ctx, nullptr);
    };
    const std::vector<HValuePtr>* pieces = QuotedPieces(action);
    if (!pieces)
        return piece(action);
    std::string url;
    for (const HValuePtr& p : *pieces)
        url += piece(*p);
    return url;
}

}  // namespace

std::string RewrittenFormTarget(HRequest& request) {
    // A page that came over TLS posts its form over TLS too: HTTPS is "on" or
    // REQUEST_SCHEME is "https" (either in any case, as web servers differ).
    auto lower = [](std::string text) {
        for (char& c : text)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return text;
    };
    bool tls = lower(request.Text("HTTPS")) == "on" || lower(request.Text("REQUEST_SCHEME")) == "https";
    std::string url = tls ? "https://" : "http://";
    AppendUrlPiece(url, request.Text("SERVER_NAME"), false);
    url += ':';
    AppendUrlPiece(url, request.Text("SERVER_PORT"), false);
    AppendUrlPiece(url, request.Text("SCRIPT_NAME"), true);
    if (const char* raw = request.Variable("PATH_INFO")) {
        std::string pathInfo = raw;
        if (pathInfo.find('\\') != std::string::npos) {
            for (char& c : pathInfo)
                if (c == '\\')
                    c = '/';
            request.SetVariable("PATH_INFO", pathInfo);
        }
        AppendUrlPiece(url, pathInfo, true);
    }
    if (const char* query = request.Variable("QUERY_STRING")) {
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
            WriteText(ctx, RewrittenFormTarget(*ctx.request));
            ctx.formAction = value ? value->GetText() : std::string();
            return;
        }
        WriteAttribute(ctx, name, value.get(), content_);
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
    // Values the URL gave the form's fields are not the visitor's.
    IgnoreQueryFields(ctx, *this);
    // The content first: SQL elements define their actions, fields check their values,
    // and a failed check stops the request before anything reaches the database.
    OutputChildren(ctx);
    RunValidation(ctx, *this);
    // The form that was submitted sent its own ACTION text back; when that text holds
    // references, the browser goes to the page with the submitted values in their place.
    const HValue* action = Attribute("ACTION");
    const HValue* submitted = ctx.symbols.Lookup("_POST_PROCESS_");
    const bool acts = HasAttribute("SQLACTION");
    bool withValues = action && submitted && acts && action->GetText() == submitted->GetText() && HoldsReference(*action);
    std::string target;
    if (acts) {
        target = withValues ? ActionWithValues(ctx, *action) : submitted ? submitted->Evaluate(ctx, nullptr) : "";
        // A target off the site is refused before the rows are stored (and again when the
        // redirect is written, whatever set it).
        CheckRedirectTarget(ctx, target);
    }
    RunSqlAction(ctx, *this);
    if (withValues)
        ctx.symbols.Define("_POST_PROCESS_", std::make_unique<HWordValue>(target));
}

}  // namespace quorvel
