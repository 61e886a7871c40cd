#include "e2e/DbSite.h"

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

namespace {

std::string Definition(DbKind kind) {
    const char* dsn = std::getenv(kind == DbKind::kMariadb ? "QV_MARIADB_DSN" : "QV_PG_DSN");
    return dsn ? dsn : "";
}

std::string UniqueName(const std::string& prefix) {
    static std::atomic<int> counter{0};
    return prefix + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

std::string Diagnostic(SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {0}, text[512] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (Succeeded(SQLGetDiagRec(type, handle, 1, state, &native, text, sizeof text, &length)))
        return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(text);
    return "no diagnostic";
}

}  // namespace

bool DbSite::Available(DbKind kind, std::string& why) {
    if (kind == DbKind::kSqlite || !Definition(kind).empty())
        return true;
    why = kind == DbKind::kMariadb ? "QV_MARIADB_DSN is not set (start a server with scripts/mariadb-start)"
                                   : "QV_PG_DSN is not set (start a server with scripts/pg-start)";
    return false;
}

bool DbSite::Required(DbKind kind) {
    const char* require = std::getenv(kind == DbKind::kMariadb ? "QV_REQUIRE_MARIADB" : "QV_REQUIRE_PG");
    return kind != DbKind::kSqlite && require && std::string(require) == "1";
}

std::string DbKindName(const ::testing::TestParamInfo<DbKind>& info) {
    return info.param == DbKind::kSqlite ? "SQLite" : info.param == DbKind::kPostgres ? "PostgreSQL" : "MariaDB";
}

DbSite::DbSite(DbKind kind, GatewayMode mode) : kind_(kind), site_(mode) {
    if (kind_ == DbKind::kSqlite) {
        for (const char* source : {"qv", "qv2"}) {
            std::string path = odbc_.Dir() + "/" + source + ".db";
            std::ofstream(path).flush();
            AddSource(source, "sqlite:" + path);
        }
        return;
    }
    const std::string def = Definition(kind_);
    AddSource("qvadmin", def);
    // A MariaDB schema is a database of its own.
    const std::string server = def.substr(0, def.rfind(':') + 1);
    for (const char* source : {"qv", "qv2"}) {
        std::string schema = UniqueName("qvt_");
        Exec("CREATE SCHEMA " + schema, "qvadmin");
        schemas_.push_back(schema);
        AddSource(source, kind_ == DbKind::kMariadb ? server + schema : def + ":" + schema);
    }
}

DbSite::~DbSite() {
    for (auto& c : connections_) {
        if (c.first == "qvadmin")
            continue;
        SQLDisconnect(c.second.second);
        SQLFreeHandle(SQL_HANDLE_DBC, c.second.second);
        SQLFreeHandle(SQL_HANDLE_ENV, c.second.first);
    }
    for (const auto& schema : schemas_)
        Exec("DROP SCHEMA " + schema + (kind_ == DbKind::kMariadb ? "" : " CASCADE"), "qvadmin");
    auto admin = connections_.find("qvadmin");
    if (admin != connections_.end()) {
        SQLDisconnect(admin->second.second);
        SQLFreeHandle(SQL_HANDLE_DBC, admin->second.second);
        SQLFreeHandle(SQL_HANDLE_ENV, admin->second.first);
    }
}

void DbSite::AddSource(const std::string& name, const std::string& def) {
    defs_[name] = def;
    odbc_.AddSource(name + "=" + def);
}

std::string DbSite::Connect(const std::string& source) const {
    return kind_ == DbKind::kSqlite ? source + ":/" : source + ":quorvel/quorvel";
}

std::string DbSite::Unreachable() {
    if (kind_ == DbKind::kSqlite) {
        odbc_.AddSource("gone=sqlite:" + odbc_.Dir() + "/no-such-file.db");
        return "gone:/";
    }
    // Port 1 on the loopback address: nothing listens there, so the connection is refused.
    odbc_.AddSource(kind_ == DbKind::kMariadb ? "gone=mariadb:127.0.0.1:1:quorvel" : "gone=pg:127.0.0.1:1:quorvel");
    return "gone:quorvel/quorvel";
}

std::string DbSite::OtherBackslashRule() {
    if (kind_ == DbKind::kSqlite)
        return "";
    AddSource("qvesc", defs_["qv"] + (kind_ == DbKind::kPostgres
                                          ? ":SET standard_conforming_strings TO off"
                                          : ":SET sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')"));
    return Connect("qvesc");
}

void* DbSite::Connection(const std::string& source) {
    auto it = connections_.find(source);
    if (it != connections_.end())
        return it->second.second;
    // The driver manager fixes its configuration directory at its first use in a process:
    // let that be the one the other in-process tests use.
    OdbcTestEnv::Process();
    SQLHENV henv = SQL_NULL_HENV;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &henv);
    SQLSetEnvAttr(henv, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, henv, &hdbc);
    // Not through the odbc.ini: this process can read only one (see OdbcTestEnv).
    std::string connect = odbc_.DriverConnectString(defs_[source]);
    if (kind_ != DbKind::kSqlite)
        connect += ";UID=quorvel;PWD=quorvel";
    SQLRETURN rc = SQLDriverConnect(hdbc, nullptr, (SQLCHAR*)connect.c_str(), SQL_NTS, nullptr, 0,
                                    nullptr, SQL_DRIVER_NOPROMPT);
    if (!Succeeded(rc)) {
        ADD_FAILURE() << "cannot connect to " << source << ": " << Diagnostic(SQL_HANDLE_DBC, hdbc);
        SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
        SQLFreeHandle(SQL_HANDLE_ENV, henv);
        return nullptr;
    }
    connections_[source] = {henv, hdbc};
    return hdbc;
}

void DbSite::Exec(const std::string& sql, const std::string& source) {
    void* hdbc = Connection(source);
    if (!hdbc)
        return;
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, hdbc, &hstmt);
    SQLRETURN rc = SQLExecDirect(hstmt, (SQLCHAR*)sql.c_str(), SQL_NTS);
    // The results of the other statements of a text, which MariaDB's driver keeps pending.
    while (Succeeded(rc) && Succeeded(rc = SQLMoreResults(hstmt))) {
    }
    if (rc != SQL_NO_DATA)
        ADD_FAILURE() << sql.substr(0, 200) << ": " << Diagnostic(SQL_HANDLE_STMT, hstmt);
    SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
}

std::string DbSite::Query(const std::string& sql, const std::string& source) {
    std::string rows;
    void* hdbc = Connection(source);
    if (!hdbc)
        return rows;
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, hdbc, &hstmt);
    SQLSMALLINT columns = 0;
    if (!Succeeded(SQLExecDirect(hstmt, (SQLCHAR*)sql.c_str(), SQL_NTS)) ||
        !Succeeded(SQLNumResultCols(hstmt, &columns))) {
        ADD_FAILURE() << sql.substr(0, 200) << ": " << Diagnostic(SQL_HANDLE_STMT, hstmt);
        columns = 0;
    }
    while (columns > 0 && Succeeded(SQLFetch(hstmt))) {
        for (SQLSMALLINT c = 1; c <= columns; ++c) {
            char text[1024] = {0};
            SQLLEN length = 0;
            SQLGetData(hstmt, static_cast<SQLUSMALLINT>(c), SQL_C_CHAR, text, sizeof text, &length);
            if (c > 1)
                rows += '|';
            if (length != SQL_NULL_DATA)
                rows += text;
        }
        rows += '\n';
    }
    SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    return rows;
}

void DbSite::LoadSampleData() {
    Exec("CREATE TABLE categories (id INTEGER, title VARCHAR(20))");
    Exec("INSERT INTO categories VALUES (1, 'Fruit'), (2, 'Stone'), (3, 'Empty')");
    Exec("CREATE TABLE items (id INTEGER, name VARCHAR(40), category INTEGER, note VARCHAR(40))");
    Exec("INSERT INTO items VALUES (1, 'Apple', 1, 'red'), (2, 'Banana <b>', 1, NULL), "
         "(3, 'Cherry', 2, 'dark & sweet'), (4, 'Date', 2, NULL)");
    Exec("CREATE TABLE big AS WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n "
         "WHERE x < 500) SELECT x FROM n");
    Exec("CREATE TABLE items (id INTEGER, name VARCHAR(40), category INTEGER, note VARCHAR(40))",
         "qv2");
    Exec("INSERT INTO items VALUES (9, 'Other', 1, NULL)", "qv2");
}

std::map<std::string, std::string> DbSite::Environment() const {
    // In sanitizer builds, leaks inside the drivers are theirs. The SQLite3 driver is unloaded
    // after a failed connection, so only full stacks show its frames (slow with PostgreSQL's
    // libraries, which stay loaded and need no more than the fast stacks).
    std::string lsan = "suppressions=" + std::string(QUORVEL_SOURCE_DIR) +
                       "/tests/e2e/odbc-drivers.supp:print_suppressions=0";
    if (kind_ == DbKind::kSqlite)
        lsan += ":fast_unwind_on_malloc=0";
    return {{"ODBCSYSINI", odbc_.Dir()}, {"LSAN_OPTIONS", lsan}};
}

GatewayRun DbSite::Get(const std::string& path, const std::string& query) {
    return site_.Get(path, query, Environment());
}
