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
               "#!/bin/sh\n" + kSleepPastTheLimit + " & echo $! > child.pid\nprintf 'half'\nkill -9 $$\n", 0755);
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
        GatewayRun r = site.Get("t.htmx");
        // (The symbol listing follows the page when debugging.)
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << c.attributes;
        EXPECT_NE(site.Read("quorvel.log").find(c.inPage), std::string::npos) << site.Read("quorvel.log");
        EXPECT_TRUE(ProcessGone(std::atoi(site.Read("child.pid").c_str()))) << "the program's child survived";
    }
    EXPECT_EQ(site.StatsWithoutTimestamps(),
              "t.htmx External function call failed: ./killed.sh\nt.htmx\n");
}

// A program that does not finish its answer in time, or writes too much, is ended with its
// group and the request fails (or shows DEFAULT); nothing beyond the bound reaches the page.
TEST(FaultTest, ProgramsBeyondTheirBoundsAreEnded) {
    E2eSite site;
    site.Write("slow.sh", "#!/bin/sh\n" + kSleepPastTheLimit + " & echo $! > child.pid\nprintf 'slow'\nwait\n", 0755);
    site.Write("flood.sh", "#!/bin/sh\necho $$ > child.pid\nwhile :; do printf '%0100d' 0; done\n", 0755);
    site.Write("sized.sh", "#!/bin/sh\nhead -c 1000 /dev/zero | tr '\\0' x; printf '\\377'\n", 0755);
    const std::string x1000(1000, 'x');
    struct Case {
        const char* config;
        const char* attributes;
        std::string out;
        std::string inPage;  // in the debug log (the page buffer)
    } cases[] = {
        {"_PROGRAM_TIMEOUT_=1", "COMMAND=./slow.sh", kToErrorPage, "[slow<!-- External function call failed: ./slow.sh -->"},
        {"_PROGRAM_TIMEOUT_=0.5", "COMMAND=./slow.sh DEFAULT=late", kPage + "<HTML>[slowlate</HTML>", "[slowlate</HTML>"},
        {"_PROGRAM_MAX_OUTPUT_=100000", "COMMAND=./flood.sh", kToErrorPage, "<!-- External function call failed: ./flood.sh -->"},
        {"_PROGRAM_MAX_OUTPUT_=1000", "COMMAND=./sized.sh", kPage + "<HTML>[" + x1000 + "</HTML>", "[" + x1000 + "</HTML>"},
        {"_PROGRAM_MAX_OUTPUT_=999", "COMMAND=./sized.sh", kToErrorPage, "x<!-- External function call failed: ./sized.sh -->"},
        {"_PROGRAM_TIMEOUT_=soon", "COMMAND=./sized.sh DEFAULT=x", kToErrorPage, "<!-- External function call failed: _PROGRAM_TIMEOUT_=soon -->"},
    };
    for (const Case& c : cases) {
        site.Write("quorvel.cfg", std::string("_ERR_URL_=err.html _DEBUG_=TRUE ") + c.config);
        site.Write("t.htmx", std::string("<HTML>[<FUNCTION ") + c.attributes + "></HTML>");
        site.Remove("child.pid");
        GatewayRun r = site.Get("t.htmx");
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << c.config << " " << c.attributes;
        std::string log = site.Read("quorvel.log");
        EXPECT_NE(log.find(c.inPage), std::string::npos) << c.config << "\n" << log.substr(0, 300);
        EXPECT_LT(log.size(), 120000u) << c.config;  // the flood never filled the page buffer
        if (c.out == kToErrorPage) {
            EXPECT_EQ(log.find(x1000), std::string::npos) << c.config;  // cut within the bound
        }
        if (site.Exists("child.pid")) {
            EXPECT_TRUE(ProcessGone(std::atoi(site.Read("child.pid").c_str()))) << c.config;
        }
    }
}

// A gateway told to stop while its program runs ends the program's group before it dies.
TEST(FaultTest, GatewayStoppedWhileItsProgramRuns) {
    if (ModeFromEnvironment() == GatewayMode::kFastCgi)
        GTEST_SKIP() << "a persistent gateway lets the request finish (PersistentTest)";
    E2eSite site;
    site.Write("quorvel.cfg", "_ERR_URL_=err.html");
    site.Write("stay.sh", "#!/bin/sh\n" + kSleepPastTheLimit + " & echo $! > child.pid\necho $PPID > gateway.pid\nwait\n", 0755);
    site.Write("t.htmx", "<HTML>[<FUNCTION COMMAND=./stay.sh></HTML>");
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        site.Remove("gateway.pid");
        std::thread stopper([&] {
            for (int i = 0; i < 1000 && std::atoi(site.Read("gateway.pid").c_str()) <= 0; ++i)
                usleep(10000);
            ::kill(std::atoi(site.Read("gateway.pid").c_str()), sig);
        });
        GatewayRun r = site.Run({{"PATH_INFO", "t.htmx"}, {"REQUEST_METHOD", "GET"}, {"GATEWAY_INTERFACE", "CGI/1.1"}},
                                "", 60, 128 + sig);
        stopper.join();
        EXPECT_TRUE(ProcessGone(std::atoi(site.Read("child.pid").c_str()))) << "signal " << sig;
    }
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
    // The configured log cannot be opened (its folder is missing): the default one holds the page.
    site.Write("quorvel.cfg", "_ERR_URL_=err.html _DEBUG_=TRUE _LOG_FILE_=no-such-dir/debug.log");
    site.Write("t.htmx", "<HTML>@X</HTML>");
    EXPECT_EQ(site.Get("t.htmx", "X=logged").out.substr(0, kPage.size() + 12), kPage + "<HTML>logged");
    EXPECT_EQ(site.Read("quorvel.log").substr(0, 12), "<HTML>logged");
    // Nor the default one (a folder of that name is in the way): the request is served
    // without a debug log.
    site.Remove("quorvel.log");
    site.Write("quorvel.log/keep", "");
    GatewayRun ok = site.Get("t.htmx", "X=served");
    EXPECT_EQ(ok.out.substr(0, kPage.size() + 12), kPage + "<HTML>served");
    // The symbol listing still follows the page, as with a debug log.
    EXPECT_NE(ok.out.find("<!-- Symbol Table Listing"), std::string::npos);
    EXPECT_EQ(site.Get("t.htmx").out, kToErrorPage);
    EXPECT_FALSE(site.Exists("no-such-dir"));
    EXPECT_EQ(site.StatsWithoutTimestamps(), "t.htmx?X=logged\nt.htmx?X=served\nt.htmx Variable is not defined: X\n");
}

class ServerFaultTest : public ::testing::TestWithParam<DbKind> {
protected:
    void SetUp() override {
        server_ = PrivateServer::Start(GetParam());
        if (!server_)
            GTEST_SKIP() << "no " << DbKindName({GetParam(), 0}) << " server could be started here";
        odbc_.AddSource("priv=" + server_->Definition());
        site_.Write("quorvel.cfg", "_ERR_URL_=err.html _CONNECT_=\"priv:quorvel/quorvel\"");
        site_.Write("stop.sh", "#!/bin/sh\n" + server_->StopCommand() + " >/dev/null 2>&1\nprintf '\\377'\n", 0755);
    }
    GatewayRun Get(const std::string& path) { return site_.Run(Env(path)); }
    std::map<std::string, std::string> Env(const std::string& path) {
        return {{"PATH_INFO", path}, {"REQUEST_METHOD", "GET"}, {"ODBCSYSINI", odbc_.Dir()}};
    }

    std::unique_ptr<PrivateServer> server_;
    OdbcTestEnv odbc_;
    E2eSite site_;
};

TEST_P(ServerFaultTest, ServerStoppedWhileThePageIsWritten) {
    server_->Sql("CREATE TABLE items(id int); INSERT INTO items VALUES (1), (2), (3), (4), (5);");
    // The first query's body stops the server (once); the second query then finds it gone.
    site_.Write("t.htmx",
                "<HTML><SQL NAME=a TEXT=\"SELECT id FROM items ORDER BY id\">"
                "<SQL NAME=b TEXT=\"SELECT count(*) AS n FROM items\">"
                "<DBRESULT QUERY=a MAXROWS=2>@id<FUNCTION COMMAND=./stop.sh></DBRESULT>"
                "<DBRESULT QUERY=b>@n</DBRESULT></HTML>");
    GatewayRun r = Get("t.htmx");
    EXPECT_EQ(r.out, kToErrorPage);
    // A lost connection fails the next statement like any refused one: error 1, naming it.
    EXPECT_EQ(site_.StatsWithoutTimestamps(), "t.htmx Syntax or semantic error in SQL statement: b\n");
    // A request after the server is gone fails to connect, and says so.
    EXPECT_EQ(Get("t.htmx").out, kToErrorPage);
    EXPECT_EQ(site_.StatsWithoutTimestamps(), "t.htmx Syntax or semantic error in SQL statement: b\n"
                                              "t.htmx Failed to connect to database: priv:quorvel/***\n");
}

INSTANTIATE_TEST_SUITE_P(Drivers, ServerFaultTest, ::testing::Values(DbKind::kPostgres, DbKind::kMariadb),
                         DbKindName);

}  // namespace
