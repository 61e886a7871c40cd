#include "external/HProgram.h"

#include "base/HExcept.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quorvel;

namespace {

struct SplitCase {
    const char* line;
    std::vector<std::string> args;
};

TEST(HProgramSplit, BlanksTabsAndQuotes) {
    const SplitCase cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"prog", {"prog"}},
        {"prog a  b", {"prog", "a", "b"}},
        {"\tprog\ta\t", {"prog", "a"}},
        {"prog \"a b\" c", {"prog", "a b", "c"}},
        {"prog a\"b c\"d", {"prog", "ab cd"}},
        {"prog \"\" x", {"prog", "", "x"}},
        {"prog \"open quote runs  to end", {"prog", "open quote runs  to end"}},
        {"prog ; ls | cat && $(id) `id` > f", {"prog", ";", "ls", "|", "cat", "&&", "$(id)", "`id`", ">", "f"}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(HProgram::SplitCommandLine(c.line), c.args) << c.line;
}

class HProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv-program-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // Writes an executable file `name` with `body` and returns its path.
    std::string Script(const std::string& name, const std::string& body, mode_t mode = 0755) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << body;
        chmod(path.c_str(), mode);
        return path;
    }

    static std::string ReadAll(HProgram& p, std::vector<std::size_t>* sizes = nullptr) {
        std::string out;
        p.ReadUntilTerminator([&](std::string_view chunk) {
            out.append(chunk);
            if (sizes)
                sizes->push_back(chunk.size());
        });
        return out;
    }

    static int ErrorOf(const std::string& path, const std::string& command) {
        try {
            HProgram p(path, command);
            ReadAll(p);
        } catch (const HExcept& e) {
            EXPECT_EQ(e.detail, command);
            return e.code;
        }
        return -1;
    }

    // A file that a program's job leaves behind only when it lives to the end of its sleep:
    // its absence shows that the job was ended, not waited for.
    std::string Outlived() const { return dir_ + "/outlived"; }

    // Whether the process whose id `pidFile` holds has ended (waiting up to ten seconds for
    // it to go): gone, or killed and waiting for its new parent to reap it.
    static bool Ended(const std::string& pidFile) {
        pid_t pid = 0;
        std::ifstream(pidFile) >> pid;
        std::string state = "?";
        for (int i = 0; pid > 0 && i < 1000 && !state.empty() && state != "Z"; ++i) {
            state.clear();
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string id, comm;
            if (stat >> id >> comm >> state && state != "Z")
                usleep(10000);
        }
        return pid > 0 && (state.empty() || state == "Z");
    }

    std::string dir_;
};

// What the program reads is its command line split into words, nothing a shell would make
// of it, with the gateway's environment less HTTP_PROXY and no descriptor beyond the
// standard three; its answer is read up to the end-of-answer byte.
TEST_F(HProgramTest, CommandLineEnvironmentAndDescriptors) {
    std::string args = Script("args", "#!/bin/sh\nprintf '%s|' \"$@\"\nprintf '\\377'\n");
    std::string marker = dir_ + "/marker";
    setenv("QV_PROGRAM_TEST", "seen", 1);
    setenv("HTTP_PROXY", "http://evil:1", 1);
    int leaky = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaky, 3);
    const struct {
        std::string path, line, out;
    } cases[] = {
        {"", "printf \"hello\\377after\"", "hello"},
        // argv[0] is the command line's first word, not the program path.
        {"/bin/sh", "label0 -c \"tr '\\0' ' ' </proc/$$/cmdline; printf '\\377'\"",
         "label0 -c tr '\\0' ' ' </proc/$$/cmdline; printf '\\377' "},
        {args, "args \"two  words\" plain", "two  words|plain|"},
        {args, "args ; touch " + marker + " && $(touch " + marker + ") `touch " + marker + "` > " + marker,
         ";|touch|" + marker + "|&&|$(touch|" + marker + ")|`touch|" + marker + "`|>|" + marker + "|"},
        {"", "sh -c \"printf '%s,%s\\377' $QV_PROGRAM_TEST ${HTTP_PROXY-unset}\"", "seen,unset"},
        // The shell lists its open descriptors above 2 without opening any itself.
        {"", "sh -c \"n=0; while [ $n -lt 1100 ]; do [ -e /proc/$$/fd/$n ] && printf '%s ' $n; "
             "n=$((n+1)); done; printf '\\377'\"",
         "0 1 2 "},
    };
    for (const auto& c : cases) {
        HProgram p(c.path, c.line);
        EXPECT_EQ(ReadAll(p), c.out) << c.line;
    }
    close(leaky);
    unsetenv("HTTP_PROXY");
    unsetenv("QV_PROGRAM_TEST");
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST_F(HProgramTest, LongOutputArrivesInChunksOfAtMost200Bytes) {
    std::string path = Script("long", "#!/bin/sh\nhead -c 450 /dev/zero | tr '\\0' x\nprintf '\\377'\n");
    HProgram p(path, "long");
    std::vector<std::size_t> sizes;
    EXPECT_EQ(ReadAll(p, &sizes), std::string(450, 'x'));
    ASSERT_GE(sizes.size(), 3u);
    for (std::size_t s : sizes)
        EXPECT_LE(s, HProgram::kChunk);
}

TEST_F(HProgramTest, StandardErrorGoesToTheGatewaysStandardError) {
    std::string errFile = dir_ + "/stderr";
    int saved = dup(STDERR_FILENO);
    int file = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(file, STDERR_FILENO);
    std::string out;
    {
        HProgram p("", "sh -c \"printf oops >&2; printf 'fine\\377'\"");
        out = ReadAll(p);
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);
    EXPECT_EQ(out, "fine");
    std::stringstream err;
    err << std::ifstream(errFile).rdbuf();
    EXPECT_EQ(err.str(), "oops");
}

TEST_F(HProgramTest, ProgramsThatCannotRunAreError32) {
    std::string plain = Script("plain", "#!/bin/sh\nprintf 'x\\377'\n", 0644);
    // No interpreter line: a shell would run it, execve refuses it.
    std::string bare = Script("bare", "printf 'x\\377'\n");
    EXPECT_EQ(ErrorOf("", "qv-no-such-program-anywhere arg"), 32);
    EXPECT_EQ(ErrorOf("", ""), 32);
    EXPECT_EQ(ErrorOf("", "\"\" x"), 32);
    EXPECT_EQ(ErrorOf(dir_ + "/missing", "missing"), 32);
    EXPECT_EQ(ErrorOf(plain, "plain"), 32);
    EXPECT_EQ(ErrorOf(bare, "bare"), 32);
    EXPECT_EQ(ErrorOf(dir_, "dir"), 32);
}

TEST_F(HProgramTest, OutputEndingWithoutTerminatorIsError32AfterPartialOutput) {
    std::string out;
    try {
        HProgram p("", "printf partial");
        p.ReadUntilTerminator([&](std::string_view c) { out.append(c); });
        FAIL() << "no error";
    } catch (const HExcept& e) {
        EXPECT_EQ(e.code, 32);
    }
    EXPECT_EQ(out, "partial");
}

TEST_F(HProgramTest, BackgroundJobHoldingThePipeDoesNotHoldTheRead) {
    std::string pidFile = dir_ + "/pid";
    std::string path = Script("bg", "#!/bin/sh\n(sleep 30; touch " + Outlived() + ") &\necho $! > " + pidFile +
                                        "\nprintf partial\n");
    EXPECT_EQ(ErrorOf(path, "bg"), 32);
    // The job was in the program's process group and went with it, before its sleep was over.
    EXPECT_TRUE(Ended(pidFile));
    EXPECT_NE(access(Outlived().c_str(), F_OK), 0) << "the read waited for the job";
}

TEST_F(HProgramTest, ProgramStillRunningAfterItsOutputIsEndedAndReaped) {
    pid_t pid;
    {
        HProgram p("", "sh -c \"printf 'done\\377'; sleep 30; touch " + Outlived() + "\"");
        pid = p.Pid();
        EXPECT_EQ(ReadAll(p), "done");
    }
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_NE(access(Outlived().c_str(), F_OK), 0) << "the program was waited for, not ended";
}

TEST_F(HProgramTest, ClientGoingAwayEndsTheProgram) {
    std::string pidFile = dir_ + "/pid";
    // The pid file appears whole (renamed into place), so the test never reads it half written.
    std::string path = Script("stay", "#!/bin/sh\nsleep 30 & echo $! > " + pidFile + ".new && mv " + pidFile +
                                          ".new " + pidFile + "\nwait\nprintf 'late\\377'\n");
    // In a child whose standard output is a pipe, closed (the client going away) once the
    // program runs: the read ends in error 32 instead of waiting for the program.
    pid_t tester = fork();
    if (tester == 0) {
        int ends[2];
        if (pipe(ends) != 0 || dup2(ends[1], STDOUT_FILENO) < 0)
            _exit(3);
        close(ends[1]);
        int code = 1;
        try {
            HProgram p(path, "stay");
            while (access(pidFile.c_str(), F_OK) != 0)
                usleep(10000);
            close(ends[0]);
            ReadAll(p);
        } catch (const HExcept& e) {
            code = e.code == 32 ? 0 : 2;
        }
        _exit(code);
    }
    int status = -1;
    ASSERT_EQ(waitpid(tester, &status, 0), tester);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(Ended(pidFile)) << "the program's child survived";
}

TEST_F(HProgramTest, ReadExactlyCollectsSplitWrites) {
    HProgram p("", "sh -c \"printf O; sleep 0.1; printf K; printf more\"");
    EXPECT_EQ(p.ReadExactly(2), "OK");
}

TEST_F(HProgramTest, ReadExactlyShortAndEmptyOutput) {
    {
        HProgram p("", "printf O");
        EXPECT_EQ(p.ReadExactly(2), "O");
    }
    {
        HProgram p("", "true");
        EXPECT_EQ(p.ReadExactly(0), "");
    }
    HProgram p("", "true");
    try {
        p.ReadExactly(2);
        FAIL() << "no error";
    } catch (const HExcept& e) {
        EXPECT_EQ(e.code, 32);
        EXPECT_EQ(e.detail, "true");
    }
}

}  // namespace
