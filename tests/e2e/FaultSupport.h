// Helpers for injecting faults into whole requests: another process that holds a file
// lock, a PostgreSQL server of the test's own that the test may stop at any moment, and a
// check that a process is gone.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

#include "database/OdbcTestEnv.h"
#include "e2e/E2eHarness.h"

// True while `pid` names a process that has not ended (a zombie counts as ended).
bool ProcessAlive(pid_t pid);

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
    std::string Spec() const;
    // A shell command that stops the server at once (as a crash would).
    std::string StopCommand() const;
    void Stop();
    // Runs SQL as the role quorvel; a failure fails the test. Returns psql's unaligned output.
    std::string Sql(const std::string& sql);

private:
    PrivatePostgres() = default;
    std::string dir_, port_;
};
