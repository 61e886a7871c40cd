// HRequest: what one request brings from outside: its CGI variables, its body and the clock.
//
// The context holds the request it serves; nothing else reads the process environment,
// standard input or the clock for a request. A CGI process serves the one request of
// CgiRequest(); a test, or a process serving many requests, hands in another.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace quorvel {

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

    // Variable(name), or "" when the request has none.
    std::string Text(const char* name) const {
        const char* v = Variable(name);
        return v ? v : "";
    }
};

// The request of a CGI process: the process environment (which the programs the request
// starts inherit), standard input and the system clock.
HRequest& CgiRequest();

}  // namespace quorvel
