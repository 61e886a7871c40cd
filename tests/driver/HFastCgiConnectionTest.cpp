#include "driver/HFastCgiConnection.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

using namespace quorvel;

namespace {

std::string Record(int type, int id, const std::string& content) {
    return std::string{1, static_cast<char>(type), 0, static_cast<char>(id), static_cast<char>(content.size() >> 8),
                       static_cast<char>(content.size() & 0xff), 0, 0} + content;
}
std::string Begin(int id, int role, bool keep) { return Record(1, id, std::string{0, static_cast<char>(role), keep, 0, 0, 0, 0, 0}); }
std::string End(int id, int status) { return Record(3, id, std::string(4, '\0') + static_cast<char>(status) + std::string(3, '\0')); }
std::string Repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}
// A whole request of id 1: parameter A=1 and the body "xyz".
const std::string kRequest = Begin(1, 1, false) + Record(4, 1, "\1\1A1") + Record(4, 1, "") + Record(5, 1, "xyz") + Record(5, 1, "");

// What the connection answers on its way to a request, and what it finds.
TEST(HFastCgiConnectionTest, RecordsBeforeTheRequest) {
    const struct {
        const char* what;
        std::string in, answer;
        HFastCgiRead read;
    } cases[] = {
        {"a request", kRequest, "", HFastCgiRead::kRequest},
        {"the values asked", Record(9, 0, std::string("\17\0FCGI_MPXS_CONNS", 17)) + kRequest,
         Record(10, 0, std::string("\17\1FCGI_MPXS_CONNS0", 18)), HFastCgiRead::kRequest},
        {"an unknown management record", Record(20, 0, "") + kRequest, Record(11, 0, std::string("\24\0\0\0\0\0\0\0", 8)),
         HFastCgiRead::kRequest},
        {"another role", Begin(1, 2, false), End(1, 3), HFastCgiRead::kClosed},
        {"another role, kept", Begin(1, 2, true) + kRequest, End(1, 3), HFastCgiRead::kRequest},
        {"a second request at once", Begin(1, 1, false) + Begin(2, 1, false) + kRequest.substr(16), End(2, 1),
         HFastCgiRead::kRequest},
        {"aborted, kept", Begin(1, 1, true) + Record(2, 1, "") + kRequest, End(1, 0), HFastCgiRead::kRequest},
        {"aborted after its parameters, kept", Begin(1, 1, true) + Record(4, 1, "\1\1A2") + Record(4, 1, "") +
         Record(2, 1, "") + kRequest, End(1, 0), HFastCgiRead::kRequest},
        {"a second beginning of the same request", Begin(1, 1, true) + kRequest, "", HFastCgiRead::kClosed},
        {"parameters after their end", Begin(1, 1, false) + Record(4, 1, "\1\1A1") + Record(4, 1, "") +
         Record(4, 1, "\1\1B2") + Record(4, 1, ""), "", HFastCgiRead::kClosed},
        {"a body after its end", Begin(1, 1, false) + Record(5, 1, "") + Record(5, 1, "x") + kRequest.substr(16, 20) +
         Record(5, 1, ""), "", HFastCgiRead::kClosed},
        // Answers pile up unread: sending them waits no longer than the reading.
        {"answers never read", Repeat(Record(20, 0, ""), 2000), Repeat(Record(11, 0, std::string("\24\0\0\0\0\0\0\0", 8)), 256),
         HFastCgiRead::kTimedOut},
        {"aborted", Begin(1, 1, false) + Record(2, 1, ""), End(1, 0), HFastCgiRead::kClosed},
        {"another protocol version", "\2" + kRequest.substr(1), "", HFastCgiRead::kClosed},
        {"the body before the parameters' end", Begin(1, 1, false) + Record(5, 1, ""), "", HFastCgiRead::kClosed},
        {"a parameter longer than its record", Begin(1, 1, false) + Record(4, 1, "\1\11A1") + Record(4, 1, "") +
         Record(5, 1, ""), "", HFastCgiRead::kTooLarge},
    };
    for (const auto& c : cases) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ASSERT_EQ(::write(fds[1], c.in.data(), c.in.size()), static_cast<ssize_t>(c.in.size()));
        ::shutdown(fds[1], SHUT_WR);
        HFastCgiConnection connection(fds[0]);
        timespec deadline;
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += c.read == HFastCgiRead::kTimedOut ? 0 : 30;
        EXPECT_EQ(connection.ReadRequest(deadline, 10, 1000), c.read) << c.what;
        if (c.read == HFastCgiRead::kRequest) {
            EXPECT_STREQ(connection.Param("A"), "1") << c.what;
            EXPECT_EQ(connection.Body(), "xyz") << c.what;
        }
        connection.Close();
        std::string answer(4096, '\0');
        ssize_t n = ::read(fds[1], &answer[0], answer.size());
        EXPECT_EQ(answer.substr(0, n > 0 ? static_cast<size_t>(n) : 0), c.answer) << c.what;
        ::close(fds[1]);
    }
}

}  // namespace
