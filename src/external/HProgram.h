// HProgram: one external program started with its standard output on a pipe.
//
// The program is started from an argument vector, never through a shell. With an empty
// program path the first argument names the program and is searched on PATH; otherwise the
// program path is executed and the first argument becomes argv[0]. The program gets the
// request's program environment (less HTTP_PROXY), the working directory, standard input
// and standard error; no other descriptor of the gateway reaches it. (HProgramCommand builds the vector from a
// template's command line.)
//
// An HProgram owns the read end of the pipe and the child process. The gateway's copy of
// the write end is closed before the constructor returns, so the output ends when the
// program (and whatever it started) stops writing. The output also counts as ended once the
// program itself has exited and nothing more is waiting in the pipe, so a background job
// that inherited the pipe cannot hold a read open.
//
// Bounds (HProgramLimits): a program that has not finished its answer within the time
// limit, or whose answer grows beyond the output limit, is error 32 and is ended at once.
// So is every program while the request's connection to the web server reports that the
// client went away.
//
// Destruction closes the read end, gives the program a short grace to exit, then signals
// its process group (SIGTERM, later SIGKILL) and reaps it: nothing started here outlives
// the request, and no zombie is left. A gateway stopped by SIGTERM, SIGHUP or SIGINT while
// programs run ends their process groups the same way before it dies of the signal, unless
// it handles those signals itself (serving many requests, it lets the request finish).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "base/HRequest.h"
#include "template/HFileIo.h"

namespace quorvel {

// Move-only owner of a started child process that leads its own process group. Finish()
// (also run by the destructor) ends the group and reaps the child; it never throws.
class HChildProcess {
public:
    HChildProcess() noexcept = default;
    // Takes over `pid`, which leads its own process group, and keeps its group on the list
    // that a stop signal ends.
    explicit HChildProcess(pid_t pid) noexcept;
    ~HChildProcess() { Finish(); }
    HChildProcess(HChildProcess&& other) noexcept;
    HChildProcess& operator=(HChildProcess&& other) noexcept;
    HChildProcess(const HChildProcess&) = delete;
    HChildProcess& operator=(const HChildProcess&) = delete;

    pid_t Pid() const noexcept { return pid_; }
    // True once the child has exited (it stays unreaped until Finish, so its process
    // group id cannot be reused in between).
    bool HasExited() noexcept;
    // Waits up to `graceMs` for the child to exit on its own (not at all when `endNow`),
    // then sends SIGTERM to its group, waits up to `graceMs` again, sends SIGKILL and reaps
    // the child. Stragglers left in the group after the child exited get SIGKILL.
    void Finish(int graceMs = kGraceMs, bool endNow = false) noexcept;

    static constexpr int kGraceMs = 100;

private:
    bool WaitForExit(int timeoutMs) noexcept;

    pid_t pid_ = -1;
    bool gone_ = false;  // reaped by someone else (SIGCHLD ignored): never signal it
};

// How long a program may take to finish its answer, and how long the answer may be.
struct HProgramLimits {
    static constexpr double kDefaultSeconds = 30;
    static constexpr std::size_t kDefaultMaxOutput = std::size_t(16) << 20;
    double seconds = kDefaultSeconds;
    std::size_t maxOutput = kDefaultMaxOutput;
};

// What the starter hands back: the child (pid -1 when nothing was started) and the read end
// of its output (invalid when the start failed).
struct HStartedProgram {
    HChildProcess child;
    HFd output;
    int error = 0;  // when the start failed: the errno of the failed step (exec, fork, pipe)
};

// Starts a program from its path (empty: search args[0] on PATH) and argument vector. The
// real starter forks and executes; tests and fuzz targets replace it with one that records
// the vector and answers through a pipe of its own, so that they never run anything.
using HProgramStarter = HStartedProgram (*)(const std::string& programPath,
                                            const std::vector<std::string>& args,
                                            char* const* environment);
// Installs `starter`; nullptr restores the real one. Returns the previous starter.
HProgramStarter SetProgramStarter(HProgramStarter starter) noexcept;

class HProgram {
public:
    // Starts the program with this argument vector; `commandLine` is only the text that
    // error details show. Throws HExcept 32 (detail = the command line) when the pipe cannot
    // be created, the program cannot be found, exec fails after the fork, or the client has
    // gone away.
    // The program runs with the request's program environment; the request's client is
    // watched while the program runs.
    HProgram(const std::string& programPath, std::vector<std::string> args, std::string commandLine,
             HProgramLimits limits = HProgramLimits(), HRequest& request = CgiRequest());
    // The same with `commandLine` split by SplitCommandLine.
    HProgram(const std::string& programPath, const std::string& commandLine,
             HProgramLimits limits = HProgramLimits(), HRequest& request = CgiRequest());
    ~HProgram();
    HProgram(HProgram&&) noexcept = default;
    HProgram& operator=(HProgram&&) = delete;

    // Output protocol of FUNCTION: reads chunks of at most kChunk bytes and hands each one
    // to `write` up to (not including) the first byte 0xFF; nothing after it is read.
    // Throws HExcept 32 when a read fails, the output ends without 0xFF, the time limit
    // passes first or the text would grow beyond the output limit; the chunks handed over
    // before stay handed over (never more than the output limit).
    void ReadUntilTerminator(const std::function<void(std::string_view)>& write);

    // Output protocol of form validation: reads until `n` bytes have arrived or the output
    // has ended, and returns what arrived (at most `n` bytes). Throws HExcept 32 when a read
    // fails, the time limit passes first, or when `n` > 0 and the output ended before any
    // byte arrived. n == 0 reads nothing.
    std::string ReadExactly(std::size_t n);

    const std::string& CommandLine() const noexcept { return commandLine_; }
    pid_t Pid() const noexcept { return child_.Pid(); }

    // Arguments of a command line: split at blanks and tabs; a double quote toggles
    // grouping and is removed, so `a "b c"d` gives {"a", "b cd"} and `""` one empty argument.
    static std::vector<std::string> SplitCommandLine(std::string_view commandLine);

    static constexpr std::size_t kChunk = 200;
    static constexpr unsigned char kTerminator = 0xFF;

private:
    // Reads up to `max` bytes; returns 0 when the output has ended. Throws HExcept 32.
    std::size_t ReadSome(char* buffer, std::size_t max);
    // Error 32 after a bound was broken: the program is ended without a grace first.
    [[noreturn]] void Overrun();
    // Error 32 for the command line; `cause` says why, to the operator only.
    [[noreturn]] void Fail(std::string cause) const;

    std::string commandLine_;
    HProgramLimits limits_;
    long long deadlineMs_ = 0;  // on the monotonic clock
    bool overrun_ = false;
    HRequest& request_;
    HClientWatch watch_;
    HChildProcess child_;
    HFd output_;
};

}  // namespace quorvel
