// Helpers for injecting faults into whole requests: another process that holds a file
// lock, a PostgreSQL server of the test's own that the test may stop at any moment, and a
// check that a process is gone.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

#include "database/OdbcTestEnv.h"
#include "e2e/E2eHarness.h"

// True when `pid` names no running process within `withinMs` (a zombie counts as ended; a
// process killed a moment ago may still be tearing itself down).
bool ProcessGone(pid_t pid, int withinMs = 2000);

// A child process that holds an exclusive flock on a file from construction until
// destruction (when it is killed and reaped).
class LockHolder {
public:
    explicit LockHolder(const std::string& path);
    ~LockHolder();
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    pid_t pid_ = -1;
};

// Makes a file read-only for everyone, root included (the immutable attribute as root, the
// permission bits otherwise), until destruction.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::string& path);
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    bool Applied() const { return applied_; }

private:
    std::string path_;
    bool applied_ = false;
};

// A throw-away PostgreSQL server started by scripts/pg-start for one test, so that the test
// can stop it without disturbing the server other tests share. Removed on destruction.
class PrivatePostgres {
public:
    // nullptr when no server can be started on this machine.
    static std::unique_ptr<PrivatePostgres> Start();
    ~PrivatePostgres();
    PrivatePostgres(const PrivatePostgres&) = delete;
    PrivatePostgres& operator=(const PrivatePostgres&) = delete;

    // The data source in the syntax of scripts/odbc-env ("pg:127.0.0.1:PORT:quorvel").
    std::string Definition() const;
    // A shell command that stops the server at once (as a crash would).
    std::string StopCommand() const;
    void Stop();
    // Starts the stopped server again on the same port, with the same data.
    bool Restart();
    // Runs SQL as the role quorvel; a failure fails the test. Returns psql's unaligned output.
    std::string Sql(const std::string& sql);

private:
    PrivatePostgres() = default;
    std::string dir_, port_;
};
