#include "driver/HReport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <strings.h>
#include <unistd.h>

#include "config/HConfig.h"
#include "values/HContext.h"
#include "base/HExcept.h"
#include "template/HFileIo.h"
#include "values/HWriter.h"
#include "database/HOdbc.h"
#include "forms/HPostProcess.h"
#include "template/HSiteFiles.h"

namespace quorvel {

std::string SafeHeaderValue(const std::string& url) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(url.size());
    for (char c : url) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string RemoveParameter(const std::string& query, std::string_view name) {
    std::string kept;
    bool any = false;
    for (size_t start = 0;;) {
        size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        std::string_view parameter(query.data() + start, end - start);
        std::string_view rawName = parameter.substr(0, parameter.find('='));
        std::string decoded;
        try {
            decoded = DecodePath(rawName);
        } catch (const HExcept&) {
            decoded = rawName;  // a name that does not decode is no hidden field's
        }
        if (decoded != name) {
            if (any)
                kept += '&';
            kept += parameter;
            any = true;
        }
        if (end == query.size())
            return kept;
        start = end + 1;
    }
}

void ListSymbols(HContext& ctx) {
    if (!ctx.debug || !ctx.page)
        return;
    std::string listing = "\n\n<!-- Symbol Table Listing \n";
    ctx.symbols.ForEach([&](const std::string& name, const HValue* value) {
        if (value && value->Kind() == HValue::kSqlOperation)
            return;
        // A request's names and values are data, escaped as page text; no value may end
        // the comment.
        const bool data = value && value->Kind() == HValue::kWord &&
                          static_cast<const HWordValue*>(value)->FromRequest();
        listing += data ? DataForComment(name) : ForComment(name);
        listing += " = ";
        // The listing reaches the browser: the password of the default connect string
        // is shown as *** (as in every error detail).
        if (value) {
            std::string text = name == "_CONNECT_" ? MaskConnectString(value->GetText()) : value->GetText();
            listing += data ? DataForComment(text) : ForComment(text);
        }
        listing += '\n';
    });
    listing += "-->\n";
    ctx.page->Write(listing);
}

namespace {

// The head of a redirect to `url`, up to the end of its Location value.
std::string RedirectHead(HContext& ctx, const std::string& url) {
    return std::string("Content-TYPE: text/html\n") + ctx.request->RedirectStatus() + "Location: " +
           SafeHeaderValue(url);
}

// The answer to a failure for the developer at the development server: its number and
// message, and `line`, the failure's line on standard error, with everything it names.
std::string FailurePage(const std::string& line, const HExcept& error) {
    std::string page = "Status: 500 Internal Server Error\nContent-TYPE: text/html\n\n<!DOCTYPE html>\n"
                       "<html><head><meta charset=\"utf-8\"><title>Error " + std::to_string(error.code) +
                       "</title></head><body>\n<h1>Error " + std::to_string(error.code) + ": ";
    AppendEscapedHtml(page, error.Message());
    page += "</h1>\n<pre>";
    AppendEscapedHtml(page, line);
    page += "</pre>\n<p><small>The development server shows this; under a web server the visitor gets"
            " the error page, and this line goes to the server's error log.</small></p>\n</body></html>\n";
    return page;
}

}  // namespace

void Finalise(HContext& ctx) {
    if (!ctx.postProcess) {
        ListSymbols(ctx);
        // A client that is gone cannot be told anything more; the request still ends normally.
        ctx.page->SendTo(*ctx.request, "Content-TYPE: text/html\n\n");
        return;
    }
    std::string url;
    if (const HValue* target = ctx.symbols.Lookup("_POST_PROCESS_"))
        url = target->Evaluate(ctx, nullptr);
    CheckRedirectTarget(ctx, url);
    std::string response = RedirectHead(ctx, url);
    if (strncasecmp(url.c_str(), "http:", 5) == 0) {
        const char* raw = ctx.request->Variable("QUERY_STRING");
        std::string query = raw ? raw : "";
        query = RemoveParameter(query, "_POST_PROCESS_");
        query = RemoveParameter(query, "_MAX_NAME_MODIFIER_");
        response += "?" + SafeHeaderValue(query);
    }
    response += "\n\n";
    ctx.request->Send(response, std::string_view());
}

std::string ErrorPage(const HExcept& error) {
    return "<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title></head>\n"
           "<body><p>This page could not be made: error " + std::to_string(error.code) + ", " +
           EscapeForHtml(error.Message()) + ".</p></body></html>\n";
}

void ReportError(HContext& ctx, const HExcept& error) {
    bool answered = false;
    try {
        std::string line = ErrorLogLine(error);
        if (::access("quorvel.cfg", F_OK) != 0)
            line += " [no quorvel.cfg in " + CurrentDirectory() + "]";
        ctx.request->LogError(line);
        const bool shown = ctx.request->ShowsErrorDetail();
        if (ctx.debug) {
            if (!ctx.page)
                ctx.page = HPage::OpenLog(kDebugLog);
            if (ctx.page) {
                ctx.page->Write("<!-- " + std::string(error.Message()) + ": " + DataForComment(error.detail) +
                                " -->\n");
                // The driver's own words, on one line as standard error has them.
                if (error.odbc && !error.cause.empty()) {
                    std::string said = error.cause;
                    for (char& c : said)
                        if (c == '\n' || c == '\r')
                            c = ' ';
                    ctx.page->Write("<!-- " + DataForComment(said) + " -->\n");
                }
                ListSymbols(ctx);
                ctx.page->Flush();
            }
        }
        std::string url = error.url;
        if (url.empty() && shown) {
            ctx.request->Send(FailurePage(line, error), std::string_view());
            return;
        }
        if (url.empty()) {
            if (const HValue* fallback = ctx.symbols.Lookup("_ERR_URL_"))
                url = fallback->GetText();
        }
        if (!url.empty()) {
            answered = true;
            ctx.request->Send(RedirectHead(ctx, url) + "\n\n", std::string_view());
        }
    } catch (...) {
        // Reporting raises nothing of its own: what cannot be logged or listed is skipped.
    }
    if (answered)
        return;
    // No error page to send the visitor to: never an empty answer. The detail (SQL, paths)
    // stays in the logs.
    static const char kHead[] = "Status: 500 Internal Server Error\nContent-TYPE: text/html\n\n";
    try {
        ctx.request->Send(kHead, ErrorPage(error));
    } catch (...) {
        ctx.request->Send(kHead, std::string_view());
    }
}

}  // namespace quorvel
