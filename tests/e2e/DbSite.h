// DbSite: a site directory plus a database, for whole-request tests that must pass the same
// way on every real driver.
//
// For SQLite it owns two fresh database files; for PostgreSQL two fresh schemas on the
// server that scripts/pg-start started (QV_PG_DSN), for MariaDB two fresh databases on the
// one scripts/mariadb-start started (QV_MARIADB_DSN), dropped again at the end. Either way
// the data sources are named "qv" and "qv2" in a private odbc.ini (OdbcTestEnv), and
// Connect() gives the connect string a template uses for them. Exec runs setup SQL through
// the test's own ODBC connection, which is closed when the site goes.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "database/OdbcTestEnv.h"
#include "e2e/E2eHarness.h"

enum class DbKind { kSqlite, kPostgres, kMariadb };

// The name of a test's parameter, for INSTANTIATE_TEST_SUITE_P.
std::string DbKindName(const ::testing::TestParamInfo<DbKind>& info);

// In a test's SetUp or body: skips the test when `kind`'s server is not there, or fails it
// when the run requires that server (QV_REQUIRE_PG=1, QV_REQUIRE_MARIADB=1).
#define QV_SKIP_WITHOUT_DB(kind)                                  \
    do {                                                          \
        std::string why_;                                         \
        if (!DbSite::Available(kind, why_)) {                     \
            if (DbSite::Required(kind))                           \
                FAIL() << why_;                                   \
            GTEST_SKIP() << why_;                                 \
        }                                                         \
    } while (0)

class DbSite {
public:
    explicit DbSite(DbKind kind, GatewayMode mode = ModeFromEnvironment());
    ~DbSite();
    DbSite(const DbSite&) = delete;
    DbSite& operator=(const DbSite&) = delete;

    // Whether this kind of database can be used here; `why` says why not.
    static bool Available(DbKind kind, std::string& why);
    // Whether the test run requires that kind of database.
    static bool Required(DbKind kind);

    DbKind Kind() const { return kind_; }
    E2eSite& Site() { return site_; }
    OdbcTestEnv& Odbc() { return odbc_; }
    // The connect string for a data source ("qv" or "qv2").
    std::string Connect(const std::string& source = "qv") const;
    // A connect string for a data source that exists but cannot be reached.
    std::string Unreachable();
    // A connect string for "qv" whose sessions read a backslash in a plain literal the other
    // way round (PostgreSQL: as an escape; MariaDB: as itself); empty for SQLite.
    std::string OtherBackslashRule();

    // Runs setup SQL on a data source; a failure fails the test with the statement.
    void Exec(const std::string& sql, const std::string& source = "qv");
    // The rows of a query on a data source, one line each, columns separated by `|`, NULL as
    // the empty text; read through the test's own connection, not through the gateway.
    std::string Query(const std::string& sql, const std::string& source = "qv");
    // The test's own ODBC connection (SQLHDBC) to a data source, made on first use; null (and
    // the test failed) when it cannot be made.
    void* Connection(const std::string& source = "qv");
    // Tables items, categories and big (500 rows) in "qv"; a different items in "qv2".
    void LoadSampleData();

    // The environment a request needs: the site's ODBC configuration (and sanitizer options).
    std::map<std::string, std::string> Environment() const;
    // A GET request of `path` with that environment.
    GatewayRun Get(const std::string& path, const std::string& query = "");

private:
    void AddSource(const std::string& name, const std::string& def);

    DbKind kind_;
    OdbcTestEnv odbc_;
    E2eSite site_;
    std::vector<std::string> schemas_;
    std::map<std::string, std::string> defs_;                    // source -> odbc-env def
    std::map<std::string, std::pair<void*, void*>> connections_;  // source -> env, dbc
};
