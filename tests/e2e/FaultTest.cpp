// Faults injected into whole requests: programs killed while they write, the statistics log
// held locked by another process, a debug log that cannot be opened, a PostgreSQL server
// stopped while a page is being written. Each request must end in its error (or the
// documented outcome), promptly, without leaving a process behind.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <thread>

#include "e2e/FaultSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPage = "Content-TYPE: text/html\n\n";
const std::string kToErrorPage = "Content-TYPE: text/html\nLocation: err.html\n\n";

TEST(FaultTest, FunctionKilledWhileWriting) {
    E2eSite site;
    site.Write("quorvel.cfg", "_ERR_URL_=err.html _DEBUG_=TRUE");
    // Writes half its output, leaves a child holding the pipe, then dies by SIGKILL.
    site.Write("killed.sh",
               "#!/bin/sh\nsleep 30 & echo $! > child.pid\nprintf 'half'\nkill -9 $$\n", 0755);
    struct Case {
        const char* attributes;
        std::string out;
        const char* inPage;  // in the debug log (the page buffer) when debugging
    } cases[] = {
        {"COMMAND=./killed.sh", kToErrorPage, "[half<!-- External function call failed: ./killed.sh -->"},
        {"COMMAND=./killed.sh DEFAULT=none", kPage + "<HTML>[halfnone</HTML>", "[halfnone</HTML>"},
    };
    for (const Case& c : cases) {
        site.Write("t.htmx", std::string("<HTML>[<FUNCTION ") + c.attributes + "></HTML>");
        auto start = Clock::now();
        GatewayRun r = site.Get("t.htmx");
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << c.attributes;
        // (The symbol listing follows the page when debugging.)
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << c.attributes;
        EXPECT_NE(site.Read("quorvel.log").find(c.inPage), std::string::npos) << site.Read("quorvel.log");
        EXPECT_TRUE(ProcessGone(std::atoi(site.Read("child.pid").c_str()))) << "the program's child survived";
    }
    EXPECT_EQ(site.StatsWithoutTimestamps(),
              "t.htmx External function call failed: ./killed.sh\nt.htmx\n");
}

TEST(FaultTest, StatisticsLogLockedLongerThanTheWaitBound) {
    E2eSite site;
    site.Write("t.htmx", "<HTML>answered</HTML>");
    site.Write("qvstat.log", "");
    {
        LockHolder holder(site.Path("qvstat.log"));
        auto start = Clock::now();
        GatewayRun r = site.Get("t.htmx");
        auto waited = Clock::now() - start;
        // The request answers after the bounded wait; its line is dropped.
        EXPECT_EQ(r.out, kPage + "<HTML>answered</HTML>");
        EXPECT_GE(waited, std::chrono::milliseconds(9900));
        EXPECT_LT(waited, std::chrono::seconds(20));
        EXPECT_EQ(site.Read("qvstat.log"), "");
    }
    // Once the holder is gone, lines are written again, whole.
    EXPECT_EQ(site.Get("t.htmx").out, kPage + "<HTML>answered</HTML>");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "t.htmx\n");
}

TEST(FaultTest, StatisticsLogLockedBrieflyLosesNothing) {
    E2eSite site;
    site.Write("t.htmx", "<HTML>answered</HTML>");
    site.Write("qvstat.log", "");
    auto holder = std::make_unique<LockHolder>(site.Path("qvstat.log"));
    // Released two seconds into the request: the request waits, then writes its line.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        holder.reset();
    });
    auto start = Clock::now();
    GatewayRun r = site.Get("t.htmx", "q=1");
    release.join();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1900));
    EXPECT_EQ(r.out, kPage + "<HTML>answered</HTML>");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "t.htmx?q=1\n");
}

TEST(FaultTest, DebugLogThatCannotBeOpened) {
    E2eSite site;
    // Neither the configured log (its folder is missing) nor the default one (a folder of
    // that name is in the way) can be opened: the request is served without a debug log.
    site.Write("quorvel.cfg", "_ERR_URL_=err.html _DEBUG_=TRUE _LOG_FILE_=no-such-dir/debug.log");
    site.Write("quorvel.log/keep", "");
    site.Write("t.htmx", "<HTML>@X</HTML>");
    GatewayRun ok = site.Get("t.htmx", "X=served");
    EXPECT_EQ(ok.out.substr(0, kPage.size() + 12), kPage + "<HTML>served");
    // The symbol listing still follows the page, as with a debug log.
    EXPECT_NE(ok.out.find("<!-- Symbol Table Listing"), std::string::npos);
    EXPECT_EQ(site.Get("t.htmx").out, kToErrorPage);
    EXPECT_FALSE(site.Exists("no-such-dir"));
    EXPECT_EQ(site.StatsWithoutTimestamps(), "t.htmx?X=served\nt.htmx Variable is not defined: X\n");
}

class PostgresFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = PrivatePostgres::Start();
        if (!server_)
            GTEST_SKIP() << "no PostgreSQL server could be started here";
        odbc_.AddSource("priv=" + server_->Definition());
        site_.Write("quorvel.cfg", "_ERR_URL_=err.html _CONNECT_=\"priv:quorvel/quorvel\"");
        site_.Write("stop.sh", "#!/bin/sh\n" + server_->StopCommand() + " >/dev/null 2>&1\nprintf '\\377'\n", 0755);
    }
    GatewayRun Get(const std::string& path) { return site_.Run(Env(path)); }
    std::map<std::string, std::string> Env(const std::string& path) {
        return {{"PATH_INFO", path}, {"REQUEST_METHOD", "GET"}, {"ODBCSYSINI", odbc_.Dir()}};
    }

    std::unique_ptr<PrivatePostgres> server_;
    OdbcTestEnv odbc_;
    E2eSite site_;
};

TEST_F(PostgresFaultTest, ServerStoppedWhileThePageIsWritten) {
    server_->Sql("CREATE TABLE items(id int); INSERT INTO items SELECT generate_series(1, 5);");
    // The first query's body stops the server (once); the second query then finds it gone.
    site_.Write("t.htmx",
                "<HTML><SQL NAME=a TEXT=\"SELECT id FROM items ORDER BY id\">"
                "<SQL NAME=b TEXT=\"SELECT count(*) AS n FROM items\">"
                "<DBRESULT QUERY=a MAXROWS=2>@id<FUNCTION COMMAND=./stop.sh></DBRESULT>"
                "<DBRESULT QUERY=b>@n</DBRESULT></HTML>");
    auto start = Clock::now();
    GatewayRun r = Get("t.htmx");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(r.out, kToErrorPage);
    // A lost connection fails the next statement like any refused one: error 1, naming it.
    EXPECT_EQ(site_.StatsWithoutTimestamps(), "t.htmx Syntax or semantic error in SQL statement: b\n");
    // A request after the server is gone fails to connect, and says so.
    EXPECT_EQ(Get("t.htmx").out, kToErrorPage);
    EXPECT_EQ(site_.StatsWithoutTimestamps(), "t.htmx Syntax or semantic error in SQL statement: b\n"
                                              "t.htmx Failed to connect to database: priv:quorvel/***\n");
}

}  // namespace
