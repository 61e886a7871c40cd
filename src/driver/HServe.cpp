#include "driver/HServe.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <exception>
#include <arpa/inet.h>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <microhttpd.h>

#include "base/HExcept.h"
#include "base/HRequest.h"
#include "base/HVersion.h"
#include "config/HConfig.h"
#include "database/HConnections.h"
#include "driver/HDriver.h"
#include "driver/HReport.h"
#include "driver/HServeFiles.h"
#include "template/HSiteFiles.h"
#include "values/HWriter.h"

extern char** environ;

namespace quorvel {

namespace {

#define QV_HTTP_FUNCTIONS(X)                                                                         \
    X(MHD_start_daemon) X(MHD_stop_daemon) X(MHD_get_fdset2) X(MHD_get_timeout) X(MHD_run_from_select) \
    X(MHD_queue_response) X(MHD_destroy_response) X(MHD_create_response_from_buffer)                  \
    X(MHD_create_response_from_fd) X(MHD_add_response_header) X(MHD_get_connection_values)            \
    X(MHD_lookup_connection_value) X(MHD_get_connection_info)

// The HTTP library, loaded when the server starts: a CGI process, which never serves HTTP,
// then loads neither it nor the libraries it needs.
struct HttpLibrary {
#define QV_HTTP_FIELD(name) decltype(&::name) name = nullptr;
    QV_HTTP_FUNCTIONS(QV_HTTP_FIELD)
#undef QV_HTTP_FIELD
};

const HttpLibrary* http = nullptr;

// Loads the library into `library`; false with `error`.
bool LoadHttpLibrary(HttpLibrary& library, std::string& error) {
    void* lib = ::dlopen("libmicrohttpd.so.12", RTLD_NOW | RTLD_LOCAL);
    if (!lib)
        lib = ::dlopen("libmicrohttpd.so", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = ::dlerror();
        error = why ? why : "libmicrohttpd not found";
        return false;
    }
#define QV_HTTP_LOAD(name)                                                        \
    library.name = reinterpret_cast<decltype(&::name)>(::dlsym(lib, #name));     \
    if (!library.name) {                                                          \
        error = "libmicrohttpd lacks " #name;                                     \
        return false;                                                             \
    }
    QV_HTTP_FUNCTIONS(QV_HTTP_LOAD)
#undef QV_HTTP_LOAD
    return true;
}

// One HTTP request while it arrives: its request target as sent, and its body.
struct HExchange {
    std::string target;
    std::string body;
    bool started = false;
    bool tooLarge = false;  // the body outgrew the gateway's bound; the rest is dropped
};

// A template request of the development server: the CGI variables a web server would set,
// the body that arrived, and the answer collected for the HTTP response.
class HServeRequest final : public HRequest {
public:
    HServeRequest(std::map<std::string, std::string> variables, std::string body, int clientFd)
        : variables_(std::move(variables)), body_(std::move(body)), clientFd_(clientFd) {}

    const char* Variable(const char* name) const override {
        auto found = variables_.find(name);
        return found == variables_.end() ? nullptr : found->second.c_str();
    }
    void SetVariable(const char* name, const std::string& value) override {
        variables_[name] = value;
        environment_.Clear();
    }
    long ReadBody(char* buffer, std::size_t size) override {
        const std::size_t n = std::min(size, body_.size() - read_);
        std::memcpy(buffer, body_.data() + read_, n);
        read_ += n;
        return static_cast<long>(n);
    }
    std::time_t Now() const override { return std::time(nullptr); }
    bool Send(std::string_view head, std::string_view body) override {
        answer_.append(head).append(body);
        return true;
    }
    // The request's variables, which the server made (CGI variables and HTTP_* names).
    char* const* ProgramEnvironment() override {
        if (!environment_.Built())
            for (const auto& kv : variables_)
                environment_.Add(kv.first, kv.second);
        return environment_.Finish();
    }
    HClientWatch ClientWatch() const override { return HClientWatch{clientFd_, 0}; }
    bool ShowsErrorDetail() const override { return true; }

    // What the request sent: the answer to turn into the HTTP response.
    const std::string& Answer() { return answer_; }

private:
    std::map<std::string, std::string> variables_;
    std::string body_;
    std::size_t read_ = 0;
    int clientFd_;
    std::string answer_;
    HProgramEnvironment environment_;
};

struct HServer {
    HServeOptions options;
    std::string site;  // absolute path of the working directory
};

volatile std::sig_atomic_t stopRequested = 0;

void OnStop(int) { stopRequested = 1; }

// A line on the terminal, with control bytes of the request made harmless.
void Say(const char* method, const std::string& target, int status, const std::string& why = std::string()) {
    std::fprintf(stdout, "%s %s %d%s%s\n", SafeHeaderValue(method).c_str(), SafeHeaderValue(target).c_str(), status,
                 why.empty() ? "" : ": ", why.c_str());
    std::fflush(stdout);
}

MHD_Result Queue(MHD_Connection* connection, int status, MHD_Response* response) {
    http->MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_Result queued = http->MHD_queue_response(connection, static_cast<unsigned>(status), response);
    http->MHD_destroy_response(response);
    return queued;
}

// A short page of the server's own (a refusal, a malformed request).
MHD_Result QueueText(MHD_Connection* connection, int status, const std::string& text) {
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + std::to_string(status) +
                       "</title></head><body><p>" + EscapeForHtml(text) + "</p></body></html>\n";
    MHD_Response* response =
        http->MHD_create_response_from_buffer(page.size(), const_cast<char*>(page.data()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    http->MHD_add_response_header(response, "Content-Type", "text/html; charset=utf-8");
    return Queue(connection, status, response);
}

// The gateway's CGI answer as an HTTP response: its header lines (`Status:` gives the
// status, a `Location:` without one is 302 Found), an empty line, the page.
MHD_Result QueueAnswer(MHD_Connection* connection, const std::string& answer, int& status) {
    std::size_t end = answer.find("\n\n");
    std::size_t bodyStart = end + 2;
    const std::size_t crlf = answer.find("\r\n\r\n");
    if (crlf != std::string::npos && (end == std::string::npos || crlf < end)) {
        end = crlf;
        bodyStart = crlf + 4;
    }
    if (end == std::string::npos) {
        status = 502;
        return QueueText(connection, status, "The gateway wrote no answer.");
    }
    std::vector<std::pair<std::string, std::string>> headers;
    status = 0;
    bool redirect = false;
    for (std::size_t line = 0; line < end;) {
        std::size_t next = answer.find('\n', line);
        if (next == std::string::npos || next > end)
            next = end;
        std::string text = answer.substr(line, next - line);
        line = next + 1;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        const std::size_t colon = text.find(':');
        if (colon == std::string::npos || colon == 0)
            continue;
        std::string name = text.substr(0, colon);
        const std::size_t start = text.find_first_not_of(" \t", colon + 1);
        std::string value = start == std::string::npos ? std::string() : text.substr(start);
        if (strcasecmp(name.c_str(), "Status") == 0) {
            status = std::atoi(value.c_str());
            continue;
        }
        if (strcasecmp(name.c_str(), "Content-Type") == 0)
            name = "Content-Type";
        else if (strcasecmp(name.c_str(), "Location") == 0)
            redirect = true;
        headers.emplace_back(std::move(name), std::move(value));
    }
    if (status == 0)
        status = redirect ? 302 : 200;
    if (status < 100 || status > 599) {
        status = 502;
        return QueueText(connection, status, "The gateway answered with a malformed status.");
    }
    MHD_Response* response = http->MHD_create_response_from_buffer(
        answer.size() - bodyStart, const_cast<char*>(answer.data() + bodyStart), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    for (const auto& header : headers)
        if (http->MHD_add_response_header(response, header.first.c_str(), header.second.c_str()) != MHD_YES)
            std::fprintf(stderr, "quorvel: a header line of the answer was dropped: %s\n",
                         SafeHeaderValue(header.first).c_str());
    return Queue(connection, status, response);
}

// Each request header as a web server passes it: HTTP_NAME (upper case, `-` as `_`). A name
// with any other character is dropped (HTTP_X_Y could otherwise stand for X-Y), and so is
// Proxy (HTTP_PROXY names a proxy to programs); repeated headers are joined.
MHD_Result AddHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto& cgi = *static_cast<std::map<std::string, std::string>*>(cls);
    if (strcasecmp(key, "Content-Type") == 0 || strcasecmp(key, "Content-Length") == 0 ||
        strcasecmp(key, "Proxy") == 0)
        return MHD_YES;
    std::string name = "HTTP_";
    for (const char* c = key; *c; ++c) {
        if (*c == '-')
            name += '_';
        else if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9'))
            name += static_cast<char>(*c >= 'a' && *c <= 'z' ? *c - 'a' + 'A' : *c);
        else
            return MHD_YES;
    }
    auto [entry, added] = cgi.emplace(name, value ? value : "");
    if (!added)
        entry->second += (name == "HTTP_COOKIE" ? "; " : ", ") + std::string(value ? value : "");
    return MHD_YES;
}

// The numeric address and port of `address`.
void NameAddress(const sockaddr* address, socklen_t size, std::string& host, std::string& port) {
    char h[NI_MAXHOST], p[NI_MAXSERV];
    if (address && ::getnameinfo(address, size, h, sizeof h, p, sizeof p, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        host = h;
        port = p;
    }
}

MHD_Result RunTemplate(HServer& server, MHD_Connection* connection, const char* method, const char* version,
                       const std::string& path, const std::string& query, HExchange& exchange, int& status) {
    std::map<std::string, std::string> cgi;
    http->MHD_get_connection_values(connection, MHD_HEADER_KIND, AddHeader, &cgi);
    cgi["GATEWAY_INTERFACE"] = "CGI/1.1";
    cgi["SERVER_SOFTWARE"] = std::string("quorvel/") + Version();
    cgi["SERVER_PROTOCOL"] = version;
    cgi["REQUEST_METHOD"] = method;
    cgi["REQUEST_URI"] = exchange.target;
    cgi["SCRIPT_NAME"] = "";
    cgi["PATH_INFO"] = path;
    cgi["PATH_TRANSLATED"] = server.site + path;
    cgi["QUERY_STRING"] = query;
    cgi["SERVER_PORT"] = server.options.port;
    // The host the browser asked for, without its port, as web servers name the server.
    std::string host = cgi.count("HTTP_HOST") ? cgi["HTTP_HOST"] : server.options.host;
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']', colon) == std::string::npos)
        host.erase(colon);
    cgi["SERVER_NAME"] = host;
    const char* type = http->MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Type");
    if (type)
        cgi["CONTENT_TYPE"] = type;
    if (!exchange.body.empty() || type)
        cgi["CONTENT_LENGTH"] = std::to_string(exchange.body.size());
    int fd = -1;
    if (const MHD_ConnectionInfo* info = http->MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
        const sockaddr* client = info->client_addr;
        NameAddress(client, client && client->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in),
                    cgi["REMOTE_ADDR"], cgi["REMOTE_PORT"]);
    }
    if (const MHD_ConnectionInfo* info = http->MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
        fd = info->connect_fd;

    HServeRequest request(std::move(cgi), std::move(exchange.body), fd);
    try {
        ServeRequest(request);
    } catch (const std::exception& e) {
        // Reported failures are handled inside; this is memory or the like running out.
        std::fprintf(stderr, "quorvel: request failed: %s\n", e.what());
    }
    ProcessConnections().Release();
    return QueueAnswer(connection, request.Answer(), status);
}

MHD_Result SendFile(HServer& server, MHD_Connection* connection, const char* method, const std::string& path,
                    int& status, std::string& why) {
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
        status = 405;
        why = "a file is only read (GET, HEAD)";
        return QueueText(connection, status, "Method not allowed: " + why + ".");
    }
    HStaticFile file = OpenStaticFile(server.site, path);
    status = file.status;
    if (file.status != 200) {
        why = file.reason;
        return QueueText(connection, status, (status == 404 ? "Not found: " : "Not served: ") + why + ".");
    }
    // The response owns the descriptor from here on; when it cannot be made, it is still ours.
    MHD_Response* response = http->MHD_create_response_from_fd(static_cast<std::size_t>(file.size), file.fd);
    if (!response) {
        ::close(file.fd);
        return MHD_NO;
    }
    http->MHD_add_response_header(response, "Content-Type", file.type);
    return Queue(connection, status, response);
}

MHD_Result Answer(void* cls, MHD_Connection* connection, const char*, const char* method, const char* version,
                  const char* upload, std::size_t* uploadSize, void** state) {
    HServer& server = *static_cast<HServer*>(cls);
    HExchange* exchange = static_cast<HExchange*>(*state);
    if (!exchange)
        return MHD_NO;
    if (!exchange->started) {
        exchange->started = true;
        const char* length = http->MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        if (length && std::strtoll(length, nullptr, 10) > kMaxBody) {
            Say(method, exchange->target, 413);
            return QueueText(connection, 413, "The body is larger than the gateway reads.");
        }
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        if (exchange->body.size() + *uploadSize > static_cast<std::size_t>(kMaxBody))
            exchange->tooLarge = true;
        else
            exchange->body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    int status = 400;
    std::string why;
    MHD_Result queued;
    const std::string& target = exchange->target;
    const std::size_t mark = target.find('?');
    std::string path;
    try {
        path = DecodePath(target.substr(0, mark));
    } catch (const HExcept&) {
        why = "a malformed % escape";
    }
    if (exchange->tooLarge) {
        status = 413;
        queued = QueueText(connection, status, "The body is larger than the gateway reads.");
    } else if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) {
        if (why.empty())
            why = "the path must start with / and hold no NUL byte";
        queued = QueueText(connection, status, "Bad request: " + why + ".");
    } else if (HasHiddenSegment(path)) {
        status = 403;
        why = "a name that starts with a dot is never served";
        queued = QueueText(connection, status, "Not served: " + why + ".");
    } else {
        // A folder: its index.htmx, else its index.html.
        if (path.back() == '/')
            path += ::access((server.site + path + "index.htmx").c_str(), F_OK) == 0 ? "index.htmx" : "index.html";
        if (IsTemplatePath(path))
            queued = RunTemplate(server, connection, method, version, path,
                                 mark == std::string::npos ? std::string() : target.substr(mark + 1), *exchange,
                                 status);
        else
            queued = SendFile(server, connection, method, path, status, why);
    }
    Say(method, target, status, why);
    return queued;
}

void* Arrived(void*, const char* target, MHD_Connection*) {
    HExchange* exchange = new HExchange;
    exchange->target = target;
    return exchange;
}

void Completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<HExchange*>(*state);
    *state = nullptr;
}

void LogServerMessage(void*, const char* format, va_list arguments) {
    std::fputs("quorvel: ", stderr);
    std::vfprintf(stderr, format, arguments);
}

bool IsLoopback(const addrinfo& address) {
    if (address.ai_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address.ai_addr)->sin_addr.s_addr) >> 24) == 127;
    return address.ai_family == AF_INET6 &&
           IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(address.ai_addr)->sin6_addr);
}

}  // namespace

bool ParseServeAddress(const std::string& text, HServeOptions& options, std::string& error) {
    std::string host, port;
    if (!SplitHostPort(text, false, host, port, error))
        return false;
    options.host = host;
    options.port = port;
    return true;
}

int ServeDevelopment(const HServeOptions& options) {
    if (!options.site.empty() && ::chdir(options.site.c_str()) != 0) {
        std::fprintf(stderr, "quorvel: cannot serve %s: %s\n", options.site.c_str(), std::strerror(errno));
        return 1;
    }
    static HttpLibrary library;
    std::string error;
    if (!LoadHttpLibrary(library, error)) {
        std::fprintf(stderr, "quorvel: the development server needs libmicrohttpd (Debian: libmicrohttpd12): %s\n",
                     error.c_str());
        return 1;
    }
    http = &library;
    HServer server{options, CurrentDirectory()};
    const std::string address = options.host + ":" + options.port;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (int rc = ::getaddrinfo(options.host.c_str(), options.port.c_str(), &hints, &found)) {
        std::fprintf(stderr, "quorvel: cannot listen on %s: %s\n", address.c_str(), ::gai_strerror(rc));
        return 1;
    }
    if (!IsLoopback(*found))
        std::fprintf(stderr, "quorvel: warning: %s can be reached from other machines, and this server shows "
                             "error details to whoever asks\n", address.c_str());
    // A client that goes away must end neither the request nor the process.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t waiting = BlockStopSignals(OnStop);
    MHD_Daemon* daemon = http->MHD_start_daemon(
        MHD_USE_ERROR_LOG | (found->ai_family == AF_INET6 ? MHD_USE_IPv6 : 0), 0, nullptr, nullptr, Answer,
        &server, MHD_OPTION_EXTERNAL_LOGGER, LogServerMessage, nullptr, MHD_OPTION_SOCK_ADDR, found->ai_addr,
        MHD_OPTION_URI_LOG_CALLBACK, Arrived, nullptr, MHD_OPTION_NOTIFY_COMPLETED, Completed, nullptr,
        MHD_OPTION_CONNECTION_TIMEOUT, 30u, MHD_OPTION_CONNECTION_LIMIT, 64u, MHD_OPTION_END);
    ::freeaddrinfo(found);
    if (!daemon) {
        std::fprintf(stderr, "quorvel: cannot listen on %s\n", address.c_str());
        return 1;
    }
    ProcessConnections().Keep(true);
    KeepParsedFiles();
    const std::string url = options.host.find(':') == std::string::npos
                                ? address
                                : "[" + options.host + "]:" + options.port;
    std::printf("Serving %s at http://%s/ (development mode: error details show in the page; Ctrl-C stops)\n",
                server.site.c_str(), url.c_str());
    std::fflush(stdout);
    while (!stopRequested) {
        fd_set reads, writes, errors;
        FD_ZERO(&reads);
        FD_ZERO(&writes);
        FD_ZERO(&errors);
        MHD_socket highest = 0;
        if (http->MHD_get_fdset2(daemon, &reads, &writes, &errors, &highest, FD_SETSIZE) != MHD_YES) {
            std::fputs("quorvel: too many open files to wait for the network\n", stderr);
            break;
        }
        MHD_UNSIGNED_LONG_LONG timeout = 0;
        timespec wait{};
        const bool bounded = http->MHD_get_timeout(daemon, &timeout) == MHD_YES;
        if (bounded) {
            wait.tv_sec = static_cast<time_t>(timeout / 1000);
            wait.tv_nsec = static_cast<long>(timeout % 1000) * 1000000L;
        }
        if (::pselect(highest + 1, &reads, &writes, &errors, bounded ? &wait : nullptr, &waiting) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("quorvel: waiting for the network");
            break;
        }
        http->MHD_run_from_select(daemon, &reads, &writes, &errors);
    }
    http->MHD_stop_daemon(daemon);
    return 0;
}

}  // namespace quorvel
