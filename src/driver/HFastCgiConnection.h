// HFastCgiConnection: one connection from a web server, speaking the FastCGI protocol's
// responder role, one request at a time.
//
// It owns the connection's descriptor and what has been read from it. ReadRequest reads the
// next request whole (its parameters and its body) before it is served, within a deadline
// and within bounds: a client that sends nothing, or half a request, or parameters of any
// size, never holds the process longer than the deadline nor makes it store more than the
// bounds. The request's answer goes out as standard-output records; EndRequest ends it.
#pragma once

#include <cstddef>
#include <csignal>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel {

// What ReadRequest found.
enum class HFastCgiRead {
    kRequest,   // a request to serve (its parameters and body are in the connection)
    kTooLarge,  // a request whose parameters exceed the bounds: answer it with a refusal
    kClosed,    // the client closed the connection, or broke the protocol
    kTimedOut,  // the deadline passed before the request had arrived
};

class HFastCgiConnection {
public:
    explicit HFastCgiConnection(int fd = -1) : fd_(fd) {}
    ~HFastCgiConnection() { Close(); }
    HFastCgiConnection(const HFastCgiConnection&) = delete;
    HFastCgiConnection& operator=(const HFastCgiConnection&) = delete;

    int Fd() const { return fd_; }
    bool Open() const { return fd_ >= 0; }
    // Bytes of the next request have been read already (a client that sent two at once).
    bool HasBuffered() const { return start_ < end_; }
    void Close() noexcept;
    // Takes over the descriptor of a connection just accepted, closing the one held.
    void Adopt(int fd) {
        Close();
        fd_ = fd;
    }

    // Reads records until a request's parameters and body have arrived, answering the
    // management records and refusing other roles and a second request on the way. The
    // parameters are bounded by `maxParams` pairs and `maxBytes` bytes; of the body,
    // `maxBytes` bytes are kept and the rest is left unread (BodyLeftUnread()). Waits until
    // `deadline` (CLOCK_MONOTONIC) at most, with the signal mask `waiting` (null: the
    // current one); after a signal it lets through, the rest of the request is waited for
    // one second more at most, with the current mask, and is kClosed if it has not come.
    HFastCgiRead ReadRequest(const timespec& deadline, std::size_t maxParams, std::size_t maxBytes,
                             const sigset_t* waiting = nullptr);

    // The request's parameter `name`, or nullptr.
    const char* Param(std::string_view name) const;
    const std::vector<std::pair<std::string, std::string>>& Params() const { return params_; }
    std::string_view Body() const { return body_; }
    // Whether the body was longer than kept: the rest of it is still on the connection.
    bool BodyLeftUnread() const { return bodyLeft_; }

    // Sends `parts`, one after the other, as standard output of the request. False when the
    // client has gone away.
    bool Send(std::initializer_list<std::string_view> parts);
    // The same on the request's error stream, which the web server writes to its error log.
    bool SendError(std::initializer_list<std::string_view> parts);
    // Ends the request. Closes the connection unless the web server asked to keep it and it
    // holds nothing of this request any more.
    void EndRequest();

private:
    // Reads until `n` bytes are buffered; false at the end of input, on a failure or at the
    // deadline (`timedOut_`).
    bool Fill(std::size_t n, const timespec& deadline);
    // Waits for `events` on the connection until `deadline`; false at the deadline
    // (`timedOut_`), on a failure or on a signal `waiting_` lets through.
    bool Wait(short events, const timespec& deadline);
    // Sends an answer given while a request is read, waiting no longer than the reading
    // does: a client that never reads its answers holds the process no longer either.
    bool Answer(const std::string& bytes, const timespec& deadline);
    bool SendOn(unsigned char stream, std::initializer_list<std::string_view> parts);
    bool errorSent_ = false;  // the request wrote to its error stream
    const sigset_t* waiting_ = nullptr;  // the mask to wait with, for ReadRequest
    bool Write(const std::string& bytes);
    std::string Header(unsigned char type, unsigned short id, std::size_t length) const;
    bool ParseParams(std::size_t maxParams);

    int fd_;
    std::string in_;         // bytes read and not yet taken: from start_ to end_
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    bool timedOut_ = false;
    bool stopped_ = false;   // a signal came while the request arrived: wait until grace_
    timespec grace_{};
    unsigned short id_ = 0;  // of the request being read or served; 0: none
    bool keep_ = false;      // the web server keeps the connection after the request
    bool bodyLeft_ = false;
    bool broken_ = false;    // a write failed: nothing more goes out, and the connection closes
    std::string paramBytes_;
    std::vector<std::pair<std::string, std::string>> params_;
    std::string body_;
};

}  // namespace quorvel
