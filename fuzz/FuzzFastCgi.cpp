// The fuzz check of the FastCGI reader (persistent mode).
//
// The input is what a client sends on one connection. A peer thread writes it into one end
// of a socket pair, reads everything the connection answers and then ends its writing, as a
// web server that has nothing more to say does; the connection reads requests from the
// other end, and each one it hands out is answered with more than one output record holds.
// Then: the parameters respect the bounds; the parameters and body of each request are
// those that the records of the input encode, request after request (decoded here from the
// rules, independently of the reader); only a request over the bounds is refused; the
// reader never waits for the deadline on a peer that has ended; the answers are whole
// records, and the standard output of each request, joined, is exactly what was sent,
// under its id.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "FuzzChecks.h"
#include "driver/HFastCgiConnection.h"

using namespace quorvel;

namespace {

constexpr std::size_t kMaxParams = 16, kMaxBytes = 1024;
using Pairs = std::vector<std::pair<std::string, std::string>>;

unsigned Byte(std::string_view s, std::size_t at) { return static_cast<unsigned char>(s[at]); }

struct Record {
    unsigned type, id;
    std::size_t length;  // as the header says
    std::string_view content;
    bool whole;
};

// The records of `in`, up to the first one of another version or cut short (the last one,
// with what there is of it); `end` is where the whole ones end.
std::vector<Record> Records(std::string_view in, std::size_t* end = nullptr) {
    std::vector<Record> records;
    std::size_t at = 0;
    while (in.size() - at >= 8 && Byte(in, at) == 1) {
        const std::size_t length = Byte(in, at + 4) << 8 | Byte(in, at + 5);
        const bool whole = in.size() - at - 8 >= length + Byte(in, at + 6);
        records.push_back({Byte(in, at + 1), Byte(in, at + 2) << 8 | Byte(in, at + 3), length, in.substr(at + 8, length), whole});
        if (!whole)
            break;
        at += 8 + length + Byte(in, at + 6);
    }
    if (end)
        *end = at;
    return records;
}

// Name-value pairs: each length is one byte below 128, else four bytes, most significant
// first, without the top bit. Nothing when the bytes end inside a pair.
std::optional<Pairs> Decode(std::string_view bytes) {
    Pairs pairs;
    std::uint64_t lengths[2];
    while (!bytes.empty()) {
        for (std::uint64_t& n : lengths) {
            if (bytes.empty() || (Byte(bytes, 0) >= 128 && bytes.size() < 4))
                return std::nullopt;
            const bool one = Byte(bytes, 0) < 128;
            n = one ? Byte(bytes, 0) : (Byte(bytes, 0) & 127ull) << 24 | Byte(bytes, 1) << 16 | Byte(bytes, 2) << 8 | Byte(bytes, 3);
            bytes.remove_prefix(one ? 1 : 4);
        }
        if (lengths[0] + lengths[1] > bytes.size())
            return std::nullopt;
        pairs.emplace_back(bytes.substr(0, lengths[0]), bytes.substr(lengths[0], lengths[1]));
        bytes.remove_prefix(lengths[0] + lengths[1]);
    }
    return pairs;
}

// The requests the input makes, in order. A beginning in the responder role while no
// request is being read starts one; the parameter and body records of its id add to its
// streams, each up to its empty record; it is whole when both have ended (or the body went
// over the bound: the rest is not read) or when its parameters are refused, and an abort
// before that drops it.
struct Candidate {
    unsigned id;
    std::string params, body;
    std::size_t paramsLength = 0;  // of its parameter records as their headers say
    bool paramsEnded = false, bodyEnded = false;
};

// Whether the parameters go over the bounds or cannot be decoded: refused as soon as known.
bool Refused(const Candidate& c) {
    if (c.paramsLength > kMaxBytes || !c.paramsEnded)
        return c.paramsLength > kMaxBytes;
    const std::optional<Pairs> decoded = Decode(c.params);
    return !decoded || decoded->size() > kMaxParams;
}

std::vector<Candidate> Candidates(const std::vector<Record>& records) {
    std::vector<Candidate> all;
    bool reading = false;
    for (const Record& r : records) {
        if (!reading && r.whole && r.id != 0 && r.type == 1 && r.length >= 8 && Byte(r.content, 0) == 0 &&
            Byte(r.content, 1) == 1) {
            all.push_back({r.id, {}, {}});
            reading = true;
        }
        if (!reading || r.id != all.back().id)
            continue;
        Candidate& c = all.back();
        if (r.type == 4 && !c.paramsEnded)
            c.paramsLength += r.length;
        if (!r.whole)
            break;
        if (r.type == 4 && !c.paramsEnded)
            c.params.append(r.content), c.paramsEnded = r.content.empty();
        if (r.type == 5 && !c.bodyEnded)
            c.body.append(r.content), c.bodyEnded = r.content.empty();
        reading = !Refused(c) && !(c.paramsEnded && (c.bodyEnded || c.body.size() > kMaxBytes));
        if (r.type == 2)
            all.pop_back(), reading = false;
    }
    return all;
}

// The web server's side: writes `in` while reading the answers into `out`, then ends its
// writing and reads on until the connection is closed.
void Peer(int fd, std::string_view in, std::string& out) {
    std::size_t sent = 0;
    bool writing = true;
    char buffer[65536];
    for (;;) {
        if (writing && sent == in.size()) {
            ::shutdown(fd, SHUT_WR);
            writing = false;
        }
        pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, -1) < 0)
            continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (p.revents & POLLOUT) {
            const ssize_t n = ::send(fd, in.data() + sent, std::min<std::size_t>(in.size() - sent, 65536), MSG_NOSIGNAL);
            if (n < 0)
                writing = false;  // the connection was closed before reading it all
            else
                sent += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
}

// Reads and answers requests until the connection closes; the first broken rule, or "".
std::string Serve(HFastCgiConnection& connection, const std::vector<Candidate>& candidates, std::vector<unsigned>& ids,
                  std::string& sent) {
    timespec deadline;
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += 5;
    std::size_t next = 0;
    for (;;) {
        const HFastCgiRead read = connection.ReadRequest(deadline, kMaxParams, kMaxBytes);
        if (read == HFastCgiRead::kTimedOut)
            return "the reader waited for the deadline on a peer that had ended";
        if (read == HFastCgiRead::kClosed)
            return "";
        // Every request made is served in turn until the connection closes; one refused as
        // too large closes it.
        if (next == candidates.size())
            return "a request that no records of the input make";
        const Candidate& c = candidates[next++];
        if ((read == HFastCgiRead::kTooLarge) != Refused(c))
            return read == HFastCgiRead::kTooLarge ? "a request refused that is within the bounds" : "a request over the bounds";
        if (read == HFastCgiRead::kRequest) {
            const Pairs& params = connection.Params();
            const std::string_view body = connection.Body();
            if (params.size() > kMaxParams || body.size() > kMaxBytes)
                return "a request over the bounds";
            if (!c.paramsEnded || Decode(c.params) != params ||
                !(connection.BodyLeftUnread() ? c.body.compare(0, body.size(), body) == 0 : c.bodyEnded && c.body == body))
                return "a request whose parameters or body are not those the records encode";
        }
        // More than one record holds, split at a place that moves with the body.
        const std::string filler(ids.empty() ? 65533 : 3, 'x');
        const std::string body(connection.Body());
        if (!connection.Send({body, filler}))
            return "the answer could not be sent to a peer that reads";
        sent += body + filler + '\0';
        ids.push_back(c.id);
        connection.EndRequest();
        if (!connection.Open())
            return "";
    }
}

void Require(bool ok, const std::string& what) {
    if (!ok)
        throw FuzzViolation(what);
}

}  // namespace

void FuzzFastCgi(const uint8_t* data, size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    int fds[2];
    Require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "no socket pair");
    std::string out, sent;
    std::thread peer(Peer, fds[1], in, std::ref(out));
    std::vector<unsigned> ids;
    std::string broken;
    {
        HFastCgiConnection connection(fds[0]);
        broken = Serve(connection, Candidates(Records(in)), ids, sent);
    }
    peer.join();
    Require(broken.empty(), broken);

    // Each answer's standard output ends with an empty record; joined, it is what was sent.
    std::size_t whole = 0;
    std::string received;
    std::size_t answer = 0;
    for (const Record& r : Records(out, &whole)) {
        Require(r.whole, "answers that are not whole records");
        Require(r.type == 3 || r.type == 6 || r.type == 10 || r.type == 11, "an answer record of an unknown type");
        if (r.type != 6)
            continue;
        Require(answer < ids.size() && r.id == ids[answer], "output under another request id");
        received.append(r.content);
        if (r.content.empty())
            received += '\0', ++answer;
    }
    Require(whole == out.size(), "answers that are not whole records");
    Require(received == sent, "standard output other than what was sent");
}
