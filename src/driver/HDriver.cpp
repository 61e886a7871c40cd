#include "driver/HDriver.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "config/HConfig.h"
#include "database/HOdbc.h"
#include "values/HContext.h"
#include "base/HExcept.h"
#include "driver/HReport.h"
#include "driver/HStats.h"
#include "elements/HElement.h"
#include "elements/HElementTree.h"
#include "elements/HScanner.h"
#include "template/HTagTable.h"

namespace quorvel {

namespace {

// The tree of the last request. A process that serves one request ends right after it, and
// its memory goes back to the system in one go: taking the tree apart first would only
// cost time. A process that served another request would free the previous tree then.
HElementTree* lastTree = nullptr;

// Inside a handler of anything but HExcept: error 7 naming the failure (memory running out,
// a library's exception). The texts for memory fit a string without allocating.
HExcept UnexpectedFailure() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return HExcept(kErrHtmlSyntax, "out of memory");
    } catch (const std::exception& e) {
        try {
            return HExcept(kErrHtmlSyntax, std::string("internal failure: ") + e.what());
        } catch (...) {
        }
    } catch (...) {
    }
    return HExcept(kErrHtmlSyntax, "internal fault");
}

}  // namespace

bool ServeRequest(HRequest& request) {
    delete lastTree;
    lastTree = new HElementTree();
    HContext ctx;
    ctx.request = &request;
    ctx.tree = lastTree;
    std::unique_ptr<HElement> root;
    std::unique_ptr<HElement> doctype;
    bool served = false;
    // Whatever fails, the request ends on the error path, with an answer and a record.
    auto fail = [&](const HExcept& e) {
        try {
            HExcept placed(e);
            if (placed.where.empty())
                placed.where = lastTree->Template();
            ReportError(ctx, placed);
        } catch (...) {
            ReportError(ctx, e);  // unplaced, when even that is too much for the memory left
        }
        if (request.Recorded())
            WriteStatistics(ctx, &e);
    };
    try {
        Initialise(ctx);
        if (ctx.debug && ctx.rawRequestValues)
            ctx.page->Write("<!-- _RAW_REQUEST_VALUES_: request values are written unescaped"
                            " into pages and SQL texts -->\n");

        try {
            if (ScanDocumentStart(ctx, doctype, root) != kTagHtml)
                throw HExcept(kErrNoHtmlStart);
            int status = 1;
            root->Parse(ctx, status);
        } catch (HExcept& e) {
            // A fault met in reading is placed where reading stopped.
            if (e.where.empty())
                e.where = lastTree->WhereReading(*ctx.input);
            throw;
        }
        if (doctype) {
            doctype->Output(ctx);
            if (!ctx.postProcess)
                ctx.page->Write("\n", 1);
        }
        root->Output(ctx);
        Finalise(ctx);
        if (request.Recorded())
            WriteStatistics(ctx, nullptr);
        served = true;
    } catch (const HExcept& e) {
        fail(e);
    } catch (...) {
        fail(UnexpectedFailure());
    }
    if (root)
        lastTree->Keep(std::move(root));
    if (doctype)
        lastTree->Keep(std::move(doctype));
    return served;
}

namespace {

// `text` with every byte but letters, digits and `-._~` percent-encoded.
std::string Encoded(const std::string& text, bool keepSlash) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
            (c != '\0' && std::strchr("-._~", c)) || (keepSlash && c == '/')) {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}

}  // namespace

int RenderTemplate(const std::string& path, const std::vector<std::pair<std::string, std::string>>& parameters) {
    std::string query;
    for (const auto& [name, value] : parameters)
        query += (query.empty() ? "" : "&") + Encoded(name, false) + "=" + Encoded(value, false);
    const char* const kRequest[][2] = {
        {"GATEWAY_INTERFACE", "CGI/1.1"}, {"REQUEST_METHOD", "GET"}, {"SERVER_NAME", "localhost"},
        {"SERVER_PROTOCOL", "HTTP/1.1"},  {"SCRIPT_NAME", "/quorvel"}};
    for (const auto& v : kRequest)
        ::setenv(v[0], v[1], 1);
    ::setenv("PATH_INFO", Encoded(path, true).c_str(), 1);
    ::setenv("QUERY_STRING", query.c_str(), 1);
    ::unsetenv("CONTENT_LENGTH");
    ::unsetenv("CONTENT_TYPE");
    std::signal(SIGPIPE, SIG_IGN);
    HRequest& request = CgiRequest();
    request.DoNotRecord();
    return ServeRequest(request) ? 0 : 1;
}

sigset_t BlockStopSignals(void (*onStop)(int)) {
    static const int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : kStopSignals) {
        ::sigaction(s, &action, nullptr);
        sigaddset(&stops, s);
    }
    sigset_t waiting;
    ::sigprocmask(SIG_BLOCK, &stops, &waiting);
    for (int s : kStopSignals)
        sigdelset(&waiting, s);
    return waiting;
}

int RunRequest() {
    // A client that goes away must not kill the request before its statistics line.
    std::signal(SIGPIPE, SIG_IGN);
    // The connections of the previous request, whose statements went with its context. A
    // process that serves one request keeps its connections to the end, as it keeps the
    // tree: closing them costs time the page waits for, and the process ends at once.
    CloseConnections();
    ServeRequest(CgiRequest());
    return 0;
}

}  // namespace quorvel
