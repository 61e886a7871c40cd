#include "driver/HDriver.h"

#include <gtest/gtest.h>

#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "base/FakeRequest.h"

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

}  // namespace
