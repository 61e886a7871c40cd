#include "driver/HDriver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base/FakeRequest.h"
#include "driver/HTemplateCache.h"
#include "template/HSiteFiles.h"

using namespace quorvel;

namespace {

// A failure that is not the gateway's own (memory running out, a library's exception,
// anything thrown) still ends on the error path: the 500 answer, the line on the error
// stream and the statistics record.
TEST(ServeRequestTest, AnyFailureEndsOnTheErrorPath) {
    char dir[] = "/tmp/qvdriver.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    char here[4096];
    ASSERT_NE(::getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(::chdir(dir), 0);
    std::ofstream(std::string(dir) + "/t.htmx") << "<HTML>x</HTML>";
    const struct {
        std::function<void()> fault;
        const char* said;
    } cases[] = {
        {[] { throw std::bad_alloc(); }, "error 7: Syntax error in HTML: out of memory"},
        {[] { throw std::runtime_error("boom"); }, "error 7: Syntax error in HTML: internal failure: boom"},
        {[] { throw 5; }, "error 7: Syntax error in HTML: internal fault"},
    };
    for (const auto& c : cases) {
        FakeRequest request;
        request.variables = {{"PATH_INFO", "t.htmx"}, {"REQUEST_METHOD", "POST"},
                             {"CONTENT_TYPE", "application/x-www-form-urlencoded"}, {"CONTENT_LENGTH", "3"}};
        request.body = "a=1";
        request.fault = c.fault;
        EXPECT_FALSE(ServeRequest(request)) << c.said;
        EXPECT_EQ(request.response.rfind("Status: 500 Internal Server Error\n", 0), 0u) << request.response;
        EXPECT_NE(request.errors.find(c.said), std::string::npos) << request.errors;
    }
    std::stringstream read;
    read << std::ifstream(std::string(dir) + "/qvstat.log").rdbuf();
    const std::string stats = read.str();
    EXPECT_NE(stats.find("t.htmx Syntax error in HTML: out of memory\r\n"), std::string::npos) << stats;
    EXPECT_NE(stats.find("t.htmx Syntax error in HTML: internal fault\r\n"), std::string::npos) << stats;
    ASSERT_EQ(::chdir(here), 0);
    for (const char* name : {"/t.htmx", "/qvstat.log"})
        ::unlink((std::string(dir) + name).c_str());
    ::rmdir(dir);
}

// A process that serves request after request writes a template again without reading it
// while its files stay as they were, keeps as many as it was told (the one written least
// recently goes first), and reads again what changed.
TEST(ServeRequestTest, KeptTemplatesAreWrittenAgainUntilAFileChanges) {
    char dir[] = "/tmp/qvdriver.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    char here[4096];
    ASSERT_NE(::getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(::chdir(dir), 0);
    const char* const files[][2] = {{"quorvel.cfg", "V=v"}, {"t.htmx", "<HTML>@V <INCLUDE FILE=i.htmx></HTML>"},
                                    {"i.htmx", "i1"}, {"u.htmx", "<HTML>u</HTML>"}, {"w.htmx", "<HTML>w</HTML>"}};
    for (const auto& file : files)
        std::ofstream(file[0]) << file[1];
    KeepParsedFiles(2);
    // `include` is written into i.htmx before the request, then dated an hour ahead with `ahead`.
    const struct {
        const char *what, *path, *include, *page;
        bool kept, ahead = false;
    } steps[] = {
        {"read", "t.htmx", nullptr, "<HTML>v i1</HTML>", false},
        {"written again", "t.htmx", nullptr, "<HTML>v i1</HTML>", true},
        {"another", "u.htmx", nullptr, "<HTML>u</HTML>", false},
        {"the first still kept", "t.htmx", nullptr, "<HTML>v i1</HTML>", true},
        {"a third drops the least recent", "w.htmx", nullptr, "<HTML>w</HTML>", false},
        {"which is read again", "u.htmx", nullptr, "<HTML>u</HTML>", false},
        {"and the first", "t.htmx", nullptr, "<HTML>v i1</HTML>", false},
        {"its include changed", "t.htmx", "i2", "<HTML>v i2</HTML>", false},
        {"kept as it is now", "t.htmx", nullptr, "<HTML>v i2</HTML>", true},
        // A later edit could not be told by the times: never kept.
        {"its include dated ahead", "t.htmx", "i3", "<HTML>v i3</HTML>", false, true},
        {"read every time", "t.htmx", nullptr, "<HTML>v i3</HTML>", false},
    };
    for (const auto& step : steps) {
        if (step.include)
            std::ofstream("i.htmx") << step.include;
        const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 3600, 0}};
        EXPECT_TRUE(!step.ahead || ::utimensat(AT_FDCWD, "i.htmx", times, 0) == 0);
        // Files are kept only once the clock's tick is past their times.
        timespec written, now;
        ::clock_gettime(CLOCK_REALTIME, &written);
        do
            ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        while (now.tv_sec < written.tv_sec || (now.tv_sec == written.tv_sec && now.tv_nsec <= written.tv_nsec));
        FakeRequest request;
        request.variables = {{"PATH_INFO", step.path}, {"REQUEST_METHOD", "GET"}};
        const unsigned long hits = KeptTemplates()->Hits();
        EXPECT_TRUE(ServeRequest(request)) << step.what;
        EXPECT_EQ(request.response, std::string("Content-TYPE: text/html\n\n") + step.page) << step.what;
        EXPECT_EQ(KeptTemplates()->Hits() - hits, step.kept ? 1u : 0u) << step.what;
        EXPECT_LE(KeptTemplates()->Size(), 2u) << step.what;
    }
    // A look ahead at the configuration file (the FastCGI server's, for its timeout) spares
    // the next request opening it while unchanged: moved away after the look, it still holds.
    ASSERT_NE(LookAtConfiguration(), nullptr);
    ASSERT_EQ(std::rename("quorvel.cfg", "away.cfg"), 0);
    FakeRequest looked;
    looked.variables = {{"PATH_INFO", "t.htmx"}, {"REQUEST_METHOD", "GET"}};
    EXPECT_TRUE(ServeRequest(looked));
    EXPECT_EQ(looked.response, "Content-TYPE: text/html\n\n<HTML>v i3</HTML>");
    KeepParsedFiles(0);
    EXPECT_EQ(KeptTemplates(), nullptr);
    EXPECT_EQ(LookAtConfiguration(), nullptr);
    // Its working directory is asked of the system once, until taken again.
    HOwnFiles::KeepProcessFacts(true);
    const std::string taken = HOwnFiles().WorkingDirectory();
    ASSERT_EQ(::chdir(here), 0);
    EXPECT_EQ(HOwnFiles().WorkingDirectory(), taken);
    HOwnFiles::KeepProcessFacts(true);
    EXPECT_EQ(HOwnFiles().WorkingDirectory(), here);
    HOwnFiles::KeepProcessFacts(false);
    EXPECT_EQ(std::system(("rm -r " + std::string(dir)).c_str()), 0);
}

}  // namespace
