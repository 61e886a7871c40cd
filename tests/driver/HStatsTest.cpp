#include "driver/HStats.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "base/FakeRequest.h"
#include "values/HContext.h"
#include "base/HExcept.h"

using namespace quorvel;

namespace {

struct RecordCase {
    const char* name;
    std::string path, query, detail;
    bool failed;
    std::string expected;
};

// 9:05:03 UTC on 7 March 2026.
constexpr std::time_t kStamp = 1772874303;

TEST(StatisticsRecordTest, Format) {
    const RecordCase cases[] = {
        {"success", "/a.htmx", "x=1", "", false, "3/7/2026 9:5:3 /a.htmx?x=1\r\n"},
        {"failure with detail", "/a.htmx", "x=1", "y", true,
         "3/7/2026 9:5:3 /a.htmx?x=1 Variable is not defined: y\r\n"},
        {"empty query, no question mark", "/a.htmx", "", "", false, "3/7/2026 9:5:3 /a.htmx\r\n"},
        // Fuzz-found: a line end in the path, the query or the detail split the record.
        {"line ends stay inside one line", "/a\nb", "q=%0D\r\n", "select a\r\nfrom t", true,
         "3/7/2026 9:5:3 /a b?q=%0D   Variable is not defined: select a  from t\r\n"},
    };
    for (const auto& c : cases) {
        HContext ctx;
        ctx.symbols.Define("_PATH_INFO_", std::make_unique<HWordValue>(c.path));
        ctx.symbols.Define("_QUERY_STRING_", std::make_unique<HWordValue>(c.query));
        HExcept error(9, c.detail);
        EXPECT_EQ(FormatStatistics(ctx, c.failed ? &error : nullptr, kStamp), c.expected) << c.name;
    }
    // A fault in the configuration comes before its variables: the request's own name it.
    HContext ctx;
    FakeRequest request;
    request.variables = {{"PATH_INFO", "/a.htmx"}, {"QUERY_STRING", "x=1"}};
    ctx.request = &request;
    HExcept error(9, "y");
    EXPECT_EQ(FormatStatistics(ctx, &error, kStamp), "3/7/2026 9:5:3 /a.htmx?x=1 Variable is not defined: y\r\n");
}

void OwnAlarm(int) {}

TEST(StatisticsLogTest, WaitForTheLockKeepsTheAlarmHandler) {
    char path[] = "/tmp/qvstats.XXXXXX";
    int holder = ::mkstemp(path);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    struct sigaction own {}, after {};
    own.sa_handler = OwnAlarm;
    ASSERT_EQ(::sigaction(SIGALRM, &own, nullptr), 0);
    std::thread release([&] {  // a moment into the wait
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::close(holder);
    });
    HContext ctx;
    FakeRequest request;  // the line is stamped with the request's clock
    request.now = kStamp;
    ctx.request = &request;
    ctx.symbols.Define("_STAT_FILE_", std::make_unique<HWordValue>(path));
    WriteStatistics(ctx, nullptr);
    release.join();
    ::sigaction(SIGALRM, nullptr, &after);
    ::signal(SIGALRM, SIG_DFL);
    EXPECT_EQ(after.sa_handler, OwnAlarm);
    std::string line;  // written once the lock came
    std::getline(std::ifstream(path), line);
    EXPECT_EQ(line + "\n", FormatStatistics(ctx, nullptr, kStamp));
    ::unlink(path);
}

}  // namespace
