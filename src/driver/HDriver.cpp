#include "driver/HDriver.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "config/HConfig.h"
#include "database/HConnections.h"
#include "values/HContext.h"
#include "base/HExcept.h"
#include "driver/HReport.h"
#include "driver/HStats.h"
#include "driver/HTemplateCache.h"
#include "elements/HElement.h"
#include "elements/HElementTree.h"
#include "template/HTagTable.h"
#include "values/HWriter.h"

namespace quorvel {

namespace {

// The template of the last request when it was not kept. A process that serves one request
// ends right after it, and its memory goes back to the system in one go: taking the tree
// apart first would only cost time. A process that served another request frees it then.
HParsedTemplate* unkept = nullptr;

// What a process that serves request after request keeps of its files (KeepParsedFiles).
HKeptConfiguration* keptConfiguration = nullptr;
HTemplateCache* keptTemplates = nullptr;

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

HConnections& ProcessConnections() {
    static HConnections* connections = new HConnections();
    return *connections;
}

bool ServeRequest(HRequest& request) {
    const timespec began = keptTemplates ? CoarseClock() : timespec{};
    delete unkept;
    unkept = nullptr;
    HContext ctx;
    ctx.request = &request;
    ctx.connections = &ProcessConnections();
    bool served = false;
    // Whatever fails, the request ends on the error path, with an answer and a record.
    auto fail = [&](const HExcept& e) {
        try {
            HExcept placed(e);
            if (placed.where.empty())
                placed.where = ctx.templatePath;
            ReportError(ctx, placed);
        } catch (...) {
            ReportError(ctx, e);  // unplaced, when even that is too much for the memory left
        }
        if (request.Recorded())
            WriteStatistics(ctx, &e);
    };
    try {
        Initialise(ctx, keptConfiguration);
        if (ctx.debug && ctx.rawRequestValues)
            ctx.page->Write("<!-- _RAW_REQUEST_VALUES_: request values are written unescaped"
                            " into pages and SQL texts -->\n");

        HParsedTemplate* page = keptTemplates ? keptTemplates->Find(ctx) : nullptr;
        if (!page) {
            unkept = page = new HParsedTemplate();
            ctx.tree = &page->tree;
            page->tree.EnterFile(ctx.templatePath, ctx.templateStream->Stamp());
            try {
                int status = 1;
                if (HElement::ReadDocument(ctx, status) != kTagHtml)
                    throw HExcept(kErrNoHtmlStart);
            } catch (HExcept& e) {
                // A fault met in reading is placed where reading stopped.
                page->tree.PlaceReadingFault(ctx, e, *ctx.input);
                throw;
            }
            if (keptTemplates) {
                std::unique_ptr<HParsedTemplate> read(unkept);
                unkept = nullptr;
                try {
                    if (!keptTemplates->Keep(ctx, read, began))
                        unkept = read.release();
                } catch (...) {
                    unkept = read.release();
                    throw;
                }
            }
        }
        ctx.tree = &page->tree;
        page->tree.Output(ctx, 0, page->tree.Size());
        Finalise(ctx);
        if (request.Recorded())
            WriteStatistics(ctx, nullptr);
        served = true;
    } catch (const HExcept& e) {
        fail(e);
    } catch (...) {
        fail(UnexpectedFailure());
    }
    return served;
}

void KeepParsedFiles(size_t templates, size_t bytes) {
    delete unkept;
    unkept = nullptr;
    delete keptConfiguration;
    delete keptTemplates;
    keptConfiguration = templates ? new HKeptConfiguration() : nullptr;
    keptTemplates = templates ? new HTemplateCache(templates, bytes) : nullptr;
}

const HTemplateCache* KeptTemplates() { return keptTemplates; }

const HKeptConfiguration::Look* LookAtConfiguration() {
    return keptConfiguration ? keptConfiguration->LookAhead() : nullptr;
}

int RenderTemplate(const std::string& path, const std::vector<std::pair<std::string, std::string>>& parameters) {
    std::string query;
    for (const auto& [name, value] : parameters)
        query += (query.empty() ? "" : "&") + PercentEncoded(name) + "=" + PercentEncoded(value);
    const char* const kRequest[][2] = {
        {"GATEWAY_INTERFACE", "CGI/1.1"}, {"REQUEST_METHOD", "GET"}, {"SERVER_NAME", "localhost"},
        {"SERVER_PROTOCOL", "HTTP/1.1"},  {"SCRIPT_NAME", "/quorvel"}};
    for (const auto& v : kRequest)
        ::setenv(v[0], v[1], 1);
    ::setenv("PATH_INFO", PercentEncoded(path, true).c_str(), 1);
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
    ProcessConnections().CloseAll();
    ServeRequest(CgiRequest());
    return 0;
}

void HProgramEnvironment::Clear() {
    taken_.clear();
    strings_.clear();
    pointers_.clear();
}

void HProgramEnvironment::Add(std::string_view name, std::string_view value) {
    if (taken_.emplace(name).second)
        strings_.push_back(std::string(name).append("=").append(value));
}

char* const* HProgramEnvironment::Finish() {
    if (Built())
        return pointers_.data();
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq && !taken_.count(std::string_view(*e, static_cast<std::size_t>(eq - *e))))
            strings_.emplace_back(*e);
    }
    for (std::string& s : strings_)
        pointers_.push_back(&s[0]);
    pointers_.push_back(nullptr);
    return pointers_.data();
}

bool SplitHostPort(const std::string& text, bool anyPort, std::string& host, std::string& port, std::string& error) {
    const std::size_t colon = text.rfind(':');
    host = colon == std::string::npos ? std::string() : text.substr(0, colon);
    port = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty()) {
        error = "no host before the port: give the address as HOST:PORT, e.g. 127.0.0.1:8080";
        return false;
    }
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    const unsigned long number = digits ? std::stoul(port) : 0;
    if (!digits || number > 65535 || (number == 0 && !anyPort)) {
        error = anyPort ? "the port must be a number from 1 to 65535, or 0 for any free port"
                        : "the port must be a number from 1 to 65535";
        return false;
    }
    return true;
}

}  // namespace quorvel
