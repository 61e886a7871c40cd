// Helpers for injecting faults into whole requests: another process that holds a file
// lock, a database server of the test's own that the test may stop at any moment, and a
// check that a process is gone.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

#include "database/OdbcTestEnv.h"
#include "e2e/DbSite.h"
#include "e2e/E2eHarness.h"

// True when `pid` names no running process within `withinMs` (a zombie counts as ended; a
// process killed a moment ago may still be tearing itself down, slowly on a busy machine).
bool ProcessGone(pid_t pid, int withinMs = 20000);

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

// A throw-away database server started for one test (by scripts/pg-start or
// scripts/mariadb-start), so that the test can stop it without disturbing the server other
// tests share. Removed on destruction.
class PrivateServer {
public:
    // PostgreSQL or MariaDB; nullptr when no such server can be started on this machine.
    static std::unique_ptr<PrivateServer> Start(DbKind kind);
    virtual ~PrivateServer() = default;
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    // The data source in the syntax of scripts/odbc-env ("pg:127.0.0.1:PORT:quorvel").
    virtual std::string Definition() const = 0;
    // A shell command that stops the server at once (as a crash would).
    virtual std::string StopCommand() const = 0;
    void Stop();
    // Starts the stopped server again on the same port, with the same data.
    virtual bool Restart() = 0;
    // Runs SQL in the database quorvel (as its owner on PostgreSQL, as the administrator on
    // MariaDB); a failure fails the test. Returns the rows, columns separated by `|`.
    virtual std::string Sql(const std::string& sql) = 0;

protected:
    PrivateServer() = default;
    // Runs scripts/`script` and takes the PREFIX_DIR and PREFIX_PORT it printed; false when
    // it failed.
    bool Launch(const std::string& script, const std::string& prefix);
    std::string dir_, port_;
};

class PrivatePostgres : public PrivateServer {
public:
    static std::unique_ptr<PrivatePostgres> Start();
    ~PrivatePostgres() override;

    std::string Definition() const override;
    std::string StopCommand() const override;
    bool Restart() override;
    std::string Sql(const std::string& sql) override;

private:
    PrivatePostgres() = default;
};

class PrivateMariadb : public PrivateServer {
public:
    static std::unique_ptr<PrivateMariadb> Start();
    ~PrivateMariadb() override;

    std::string Definition() const override;
    std::string StopCommand() const override;
    bool Restart() override;
    std::string Sql(const std::string& sql) override;

private:
    PrivateMariadb() = default;
};
