#include "driver/HFastCgiConnection.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace quorvel {

namespace {

// Record types and the other numbers of the protocol.
enum : unsigned char {
    kBeginRequest = 1, kAbortRequest = 2, kEndRequest = 3, kParams = 4, kStdin = 5, kStdout = 6, kStderr = 7,
    kGetValues = 9, kGetValuesResult = 10, kUnknownType = 11,
};
constexpr unsigned kResponder = 1;
constexpr unsigned char kKeepConnection = 1;
constexpr unsigned char kRequestComplete = 0, kCantMultiplex = 1, kUnknownRole = 3;
constexpr std::size_t kMaxContent = 65535;

// Milliseconds from now until `deadline`, rounded up; 0 once it has passed.
int MillisecondsUntil(const timespec& deadline) {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = (deadline.tv_sec - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec + 999999) / 1000000;
    return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// Writes every byte the vectors hold, after interruptions and partial writes.
bool WriteVectors(int fd, std::vector<iovec>& parts) {
    std::size_t first = 0;
    while (first < parts.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(parts.size() - first, IOV_MAX));
        ssize_t n = ::writev(fd, parts.data() + first, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        for (std::size_t done = static_cast<std::size_t>(n); done > 0 || (first < parts.size() && parts[first].iov_len == 0);) {
            std::size_t take = std::min(done, parts[first].iov_len);
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + take;
            parts[first].iov_len -= take;
            done -= take;
            if (parts[first].iov_len == 0)
                ++first;
        }
    }
    return true;
}

// A name-value pair as the protocol encodes it.
void AppendPair(std::string& out, std::string_view name, std::string_view value) {
    out += static_cast<char>(name.size());
    out += static_cast<char>(value.size());
    out.append(name.data(), name.size()).append(value.data(), value.size());
}

}  // namespace

void HFastCgiConnection::Close() noexcept {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    broken_ = false;
    start_ = end_ = 0;
}

std::string HFastCgiConnection::Header(unsigned char type, unsigned short id, std::size_t length) const {
    const char header[8] = {1, static_cast<char>(type), static_cast<char>(id >> 8), static_cast<char>(id & 0xff),
                            static_cast<char>(length >> 8), static_cast<char>(length & 0xff), 0, 0};
    return std::string(header, sizeof header);
}

bool HFastCgiConnection::Write(const std::string& bytes) {
    std::vector<iovec> parts = {{const_cast<char*>(bytes.data()), bytes.size()}};
    return WriteVectors(fd_, parts);
}

bool HFastCgiConnection::Wait(short events, const timespec& deadline) {
    for (;;) {
        pollfd p{fd_, events, 0};
        const int ms = std::min(MillisecondsUntil(deadline), stopped_ ? MillisecondsUntil(grace_) : INT_MAX);
        const timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
        int ready = ::ppoll(&p, 1, &wait, waiting_);
        if (ready < 0 && errno == EINTR && waiting_) {
            // Told to stop or to reload while the request arrives: the web server sent it
            // on a connection the process took, so the rest of it is waited for, a second
            // more at most, with those signals held.
            waiting_ = nullptr;
            stopped_ = true;
            ::clock_gettime(CLOCK_MONOTONIC, &grace_);
            grace_.tv_sec += 1;
            continue;
        }
        if (ready < 0 && errno == EINTR)
            continue;  // a signal the caller does not wait for
        if (ready == 0)
            timedOut_ = !stopped_;  // past the second after a stop: closed, not timed out
        return ready > 0;
    }
}

bool HFastCgiConnection::Fill(std::size_t n, const timespec& deadline) {
    if (start_ == end_)
        start_ = end_ = 0;
    while (end_ - start_ < n) {
        // Room for what is missing, and for a whole request of a web server at once: the
        // buffer grows only when that does not fit, and is never cleared byte by byte.
        const std::size_t want = std::max<std::size_t>(n - (end_ - start_), 16384);
        if (in_.size() - end_ < want && start_ > 0) {
            std::memmove(&in_[0], &in_[start_], end_ - start_);
            end_ -= start_;
            start_ = 0;
        }
        if (in_.size() - end_ < want)
            in_.resize(std::max(end_ + want, 2 * in_.size()));
        // What has arrived is taken without a wait; the wait begins only when nothing has
        // (or when the connection is no socket).
        ssize_t got = ::recv(fd_, &in_[end_], in_.size() - end_, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTSOCK)) {
            if (!Wait(POLLIN, deadline))
                return false;
            got = ::read(fd_, &in_[end_], in_.size() - end_);
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        end_ += static_cast<std::size_t>(got);
    }
    return true;
}

bool HFastCgiConnection::Answer(const std::string& bytes, const timespec& deadline) {
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) ||
                 (errno != EINTR && !Wait(POLLOUT, deadline)))
            return false;
    }
    return true;
}

bool HFastCgiConnection::ParseParams(std::size_t maxParams) {
    const auto* p = reinterpret_cast<const unsigned char*>(paramBytes_.data());
    const std::size_t size = paramBytes_.size();
    std::size_t i = 0;
    auto length = [&](std::size_t& out) {
        if (i < size && p[i] < 0x80) {
            out = p[i++];
            return true;
        }
        if (size - i < 4)
            return false;
        out = (std::size_t(p[i] & 0x7f) << 24) | (std::size_t(p[i + 1]) << 16) | (std::size_t(p[i + 2]) << 8) | p[i + 3];
        i += 4;
        return true;
    };
    while (i < size) {
        std::size_t name = 0, value = 0;
        if (params_.size() == maxParams || !length(name) || !length(value) || name > size - i ||
            value > size - i - name)
            return false;
        params_.emplace_back(paramBytes_.substr(i, name), paramBytes_.substr(i + name, value));
        i += name + value;
    }
    return true;
}

HFastCgiRead HFastCgiConnection::ReadRequest(const timespec& deadline, std::size_t maxParams, std::size_t maxBytes,
                                             const sigset_t* waiting) {
    waiting_ = waiting;
    id_ = 0;
    keep_ = bodyLeft_ = timedOut_ = stopped_ = false;
    paramBytes_.clear();
    params_.clear();
    body_.clear();
    bool paramsDone = false, bodyDone = false;
    while (!paramsDone || !bodyDone) {
        if (!Fill(8, deadline))
            return timedOut_ ? HFastCgiRead::kTimedOut : HFastCgiRead::kClosed;
        const auto* h = reinterpret_cast<const unsigned char*>(in_.data() + start_);
        const unsigned char type = h[1];
        const unsigned short id = static_cast<unsigned short>(h[2] << 8 | h[3]);
        const std::size_t length = std::size_t(h[4]) << 8 | h[5];
        if (h[0] != 1)
            return HFastCgiRead::kClosed;
        const bool ours = id != 0 && id == id_;
        if (ours && ((type == kParams && paramsDone) || (type == kStdin && bodyDone)))
            return HFastCgiRead::kClosed;  // a stream that goes on after its end
        // More than the bounds is never read: the connection goes after the answer.
        if (ours && type == kParams && paramBytes_.size() + length > maxBytes) {
            bodyLeft_ = true;
            return HFastCgiRead::kTooLarge;
        }
        if (ours && type == kStdin && body_.size() + length > maxBytes) {
            bodyLeft_ = true;
            break;
        }
        if (!Fill(8 + length + h[6], deadline))
            return timedOut_ ? HFastCgiRead::kTimedOut : HFastCgiRead::kClosed;
        const std::string_view content(in_.data() + start_ + 8, length);
        start_ += 8 + length + static_cast<unsigned char>(in_[start_ + 6]);
        if (id == 0) {
            // A management record: the one question the protocol defines is answered, any
            // other type is not known.
            std::string answer;
            if (type == kGetValues) {
                for (std::string_view name : {"FCGI_MAX_CONNS", "FCGI_MAX_REQS", "FCGI_MPXS_CONNS"})
                    if (content.find(name) != std::string_view::npos)
                        AppendPair(answer, name, name == "FCGI_MPXS_CONNS" ? "0" : "1");
                answer = Header(kGetValuesResult, 0, answer.size()) + answer;
            } else {
                answer = Header(kUnknownType, 0, 8) + std::string(1, static_cast<char>(type)) + std::string(7, '\0');
            }
            if (!Answer(answer, deadline))
                return timedOut_ ? HFastCgiRead::kTimedOut : HFastCgiRead::kClosed;
        } else if (type == kBeginRequest) {
            // A second beginning of the request being read breaks the protocol: refusing it
            // would end that request for the web server while it is still answered.
            if (length < 8 || (id_ != 0 && id == id_))
                return HFastCgiRead::kClosed;
            const unsigned role = static_cast<unsigned char>(content[0]) << 8 | static_cast<unsigned char>(content[1]);
            const bool keep = content[2] & kKeepConnection;
            if (id_ != 0 || role != kResponder) {
                const std::string end = std::string(4, '\0') + static_cast<char>(id_ != 0 ? kCantMultiplex : kUnknownRole) +
                                        std::string(3, '\0');
                if (!Answer(Header(kEndRequest, id, 8) + end, deadline))
                    return timedOut_ ? HFastCgiRead::kTimedOut : HFastCgiRead::kClosed;
                if (id_ == 0 && !keep)
                    return HFastCgiRead::kClosed;
                continue;
            }
            id_ = id;
            keep_ = keep;
        } else if (!ours) {
            continue;  // a record of no request being read
        } else if (type == kAbortRequest) {
            id_ = 0;
            if (!Answer(Header(kEndRequest, id, 8) + std::string(8, '\0'), deadline))
                return timedOut_ ? HFastCgiRead::kTimedOut : HFastCgiRead::kClosed;
            if (!keep_)
                return HFastCgiRead::kClosed;
            // Nothing of the aborted request reaches the next one on the connection.
            paramBytes_.clear();
            params_.clear();
            body_.clear();
            paramsDone = bodyDone = false;
        } else if (type == kParams) {
            paramsDone = content.empty();
            paramBytes_.append(content.data(), content.size());
            if (paramsDone && !ParseParams(maxParams)) {
                bodyLeft_ = true;
                return HFastCgiRead::kTooLarge;
            }
        } else if (type == kStdin) {
            bodyDone = content.empty();
            body_.append(content.data(), content.size());
        }
    }
    // A body that overtook the parameters makes no request.
    return paramsDone ? HFastCgiRead::kRequest : HFastCgiRead::kClosed;
}

const char* HFastCgiConnection::Param(std::string_view name) const {
    for (const auto& p : params_)
        if (p.first == name)
            return p.second.c_str();
    return nullptr;
}

bool HFastCgiConnection::Send(std::initializer_list<std::string_view> parts) { return SendOn(kStdout, parts); }

bool HFastCgiConnection::SendError(std::initializer_list<std::string_view> parts) {
    errorSent_ = true;
    return SendOn(kStderr, parts);
}

bool HFastCgiConnection::SendOn(unsigned char stream, std::initializer_list<std::string_view> parts) {
    std::size_t total = 0;
    for (std::string_view part : parts)
        total += part.size();
    if (total == 0)
        return true;
    if (fd_ < 0 || broken_)
        return false;
    // Records of at most kMaxContent bytes each, written with one system call per batch.
    std::vector<std::string> headers;
    headers.reserve(total / kMaxContent + 1);
    std::vector<iovec> iov;
    auto part = parts.begin();
    std::size_t offset = 0;
    for (std::size_t left = total; left > 0;) {
        std::size_t length = std::min(left, kMaxContent);
        headers.push_back(Header(stream, id_, length));
        iov.push_back({&headers.back()[0], 8});
        left -= length;
        while (length > 0) {
            std::size_t take = std::min(length, part->size() - offset);
            if (take > 0)
                iov.push_back({const_cast<char*>(part->data() + offset), take});
            offset += take;
            length -= take;
            if (offset == part->size()) {
                ++part;
                offset = 0;
            }
        }
    }
    if (WriteVectors(fd_, iov))
        return true;
    // A record may have gone out in part: nothing more is written on the connection, which
    // would read what followed as that record's rest, and it is not used again.
    broken_ = true;
    return false;
}

void HFastCgiConnection::EndRequest() {
    if (fd_ < 0)
        return;
    // Each stream the request wrote ends with an empty record.
    const std::string end = (errorSent_ ? Header(kStderr, id_, 0) : std::string()) + Header(kStdout, id_, 0) +
                            Header(kEndRequest, id_, 8) + std::string(4, '\0') +
                            static_cast<char>(kRequestComplete) + std::string(3, '\0');
    if (broken_ || !Write(end) || !keep_ || bodyLeft_)
        Close();
    id_ = 0;
    errorSent_ = false;
    params_.clear();
    body_.clear();
    paramBytes_.clear();
}

}  // namespace quorvel
