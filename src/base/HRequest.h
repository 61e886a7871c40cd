// HRequest: what one request brings from outside and where its answer goes: its CGI
// variables, its body, the clock, the response and the client's presence.
//
// The context holds the request it serves; nothing else reads the process environment,
// standard input or the clock for a request, or writes the response. A CGI process serves
// the one request of CgiRequest(); a test, or a process serving many requests, hands in
// another.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace quorvel {

// What tells that the client has gone away: poll() on `fd` with `events` reports POLLERR,
// POLLHUP or one of `events`. fd -1: nothing tells it.
struct HClientWatch {
    int fd = -1;
    short events = 0;
};

class HRequest {
public:
    virtual ~HRequest() = default;

    // The CGI variable `name` (SERVER_NAME, PATH_INFO, QUERY_STRING, ...), or nullptr when
    // the request has none.
    virtual const char* Variable(const char* name) const = 0;
    // Sets the CGI variable `name` for the rest of the request, programs it starts included.
    virtual void SetVariable(const char* name, const std::string& value) = 0;
    // Reads up to `size` bytes of the request body into `buffer`: the count read, 0 at the
    // end of the body, -1 on a failure (errno tells which; EINTR is worth a retry).
    virtual long ReadBody(char* buffer, std::size_t size) = 0;
    // The time now, for the statistics log.
    virtual std::time_t Now() const = 0;
    // Sends `head`, then `body`, as the next bytes of the response. False when they could
    // not all be sent (the client has gone away).
    virtual bool Send(std::string_view head, std::string_view body) = 0;
    // The environment of a program the request starts: "NAME=value" entries ending with a
    // null pointer. Of what the client sent, it holds only CGI meta-variables and HTTP_*
    // names; every other name is the process's own. Valid until the next SetVariable or the
    // end of the request.
    virtual char* const* ProgramEnvironment() = 0;
    virtual HClientWatch ClientWatch() const = 0;
    // The header line a redirect carries before its Location (with its line end), or "".
    // A CGI program leaves the status to the web server; some FastCGI clients answer a
    // Location without a Status as an empty page.
    virtual const char* RedirectStatus() const { return ""; }
    // Whether a failure is shown with its detail (the line LogError gets) in the answer:
    // only for the developer at the development server, never for a request that a web
    // server hands in.
    virtual bool ShowsErrorDetail() const { return false; }
    // Writes `line` and a line end where the operator reads the request's failures: the
    // web server's error log (a CGI program's standard error, a FastCGI request's error
    // stream).
    virtual void LogError(std::string_view line);

    // Whether the client has gone away, as ClientWatch tells; once seen, it stays so.
    bool ClientGone();
    void MarkClientGone() { clientGone_ = true; }

    // Whether the request gets a statistics record: not a page rendered by hand.
    bool Recorded() const { return recorded_; }
    void DoNotRecord() { recorded_ = false; }

    // Variable(name), or "" when the request has none.
    std::string Text(const char* name) const {
        const char* v = Variable(name);
        return v ? v : "";
    }

private:
    bool clientGone_ = false;
    bool recorded_ = true;
};

// The request of a CGI process: the process environment (which the programs the request
// starts inherit), standard input, standard output and the system clock.
HRequest& CgiRequest();

}  // namespace quorvel
