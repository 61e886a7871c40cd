// The narrow ODBC layer: the one place that calls the driver manager.
//
// Each ODBC function the gateway uses is wrapped here once, with the arguments the gateway
// always passes; nothing else includes the ODBC headers. Handles travel as opaque pointers
// (the driver manager's SQLHENV, SQLHDBC and SQLHSTMT are pointers). Return codes come back
// as they are: callers test them with OdbcSucceeded, the one success rule (0 or 1).
//
// Ownership: a statement handle is owned by an HOdbcStatement, which drops it when it goes;
// an environment and its connection by an HOdbcConnection, which the process's connection
// owner (HConnections) keeps.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

using HOdbcHandle = void*;

constexpr short kOdbcNoDataFound = 100;

// The success rule of every examined ODBC result: SQL_SUCCESS or SQL_SUCCESS_WITH_INFO.
inline bool OdbcSucceeded(short rc) { return rc == 0 || rc == 1; }

// Move-only owner of a statement handle; releases it with SQL_DROP and never throws.
class HOdbcStatement {
public:
    HOdbcStatement() = default;
    explicit HOdbcStatement(HOdbcHandle handle) : handle_(handle) {}
    HOdbcStatement(HOdbcStatement&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    HOdbcStatement& operator=(HOdbcStatement&& other) noexcept;
    HOdbcStatement(const HOdbcStatement&) = delete;
    HOdbcStatement& operator=(const HOdbcStatement&) = delete;
    ~HOdbcStatement();

    HOdbcHandle Get() const { return handle_; }

private:
    HOdbcHandle handle_ = nullptr;
};

// Description of one result column, as SQLDescribeCol gives it.
struct HOdbcColumn {
    char name[50];            // zero-terminated, at most 49 characters
    short nameLength = 0;     // as reported; may exceed what the buffer holds
    short type = 0;
    unsigned long precision = 0;
    short scale = 0;
    short nullable = 0;
};

// The three parts of a connect string `DATASOURCE:USER/PASSWORD`, pointing into it.
struct HConnectString {
    std::string_view dataSource;  // before the first colon
    std::string_view user;        // between that colon and the first slash
    std::string_view password;    // after the first slash, to the end
};

// Splits a connect string; false when it has no colon, no slash, a slash before the first
// colon, or a part too long for the driver manager's 16-bit lengths.
bool SplitConnectString(std::string_view connect, HConnectString& parts);

// Owner of an environment and the connection allocated on it. Close(), also run by the
// destructor, disconnects when connected, then frees the connection, then the environment;
// it never throws.
// REQUIRES: the statements made on the connection are dropped before it is closed.
class HOdbcConnection {
public:
    HOdbcConnection();  // allocates both handles; null handles when no driver manager loads
    ~HOdbcConnection() { Close(); }
    HOdbcConnection(const HOdbcConnection&) = delete;
    HOdbcConnection& operator=(const HOdbcConnection&) = delete;

    HOdbcHandle Henv() const { return henv_; }
    HOdbcHandle Hdbc() const { return hdbc_; }
    // SQLConnect on the connection; the ODBC result code.
    short Connect(const HConnectString& parts);
    void Close() noexcept;

private:
    HOdbcHandle henv_ = nullptr;
    HOdbcHandle hdbc_ = nullptr;
    bool connected_ = false;
};

// The connect string as logs may show it: everything after the first slash becomes `***`.
std::string MaskConnectString(std::string_view connect);

// Whose diagnostics OdbcDiagnostic reads.
enum class HOdbcHandleKind { kEnvironment, kConnection, kStatement };

// What the driver said about the last failed call on `handle`: "SQLSTATE xxxxx: message" for
// each of its first diagnostic records, joined by "; "; "" when it said nothing. Read right
// after the failure: the next call on the handle clears them.
std::string OdbcDiagnostic(HOdbcHandle handle, HOdbcHandleKind kind);

// Driver-manager calls; each returns the ODBC result code unless noted.
HOdbcHandle OdbcAllocEnv();                        // result ignored
HOdbcHandle OdbcAllocConnect(HOdbcHandle henv);    // result ignored
short OdbcConnect(HOdbcHandle hdbc, const HConnectString& parts);
HOdbcStatement OdbcAllocStmt(HOdbcHandle hdbc);    // result ignored
short OdbcPrepare(HOdbcHandle hstmt, const std::string& sql);
short OdbcExecute(HOdbcHandle hstmt);
short OdbcCloseCursor(HOdbcHandle hstmt);
short OdbcSetMaxRows(HOdbcHandle hstmt, unsigned long rows);
short OdbcNumResultCols(HOdbcHandle hstmt, short& count);
short OdbcDescribeCol(HOdbcHandle hstmt, int column, HOdbcColumn& description);
// Binds `column` (from 1) as character data into `buffer` of `size` bytes.
short OdbcBindCol(HOdbcHandle hstmt, int column, char* buffer, long size, long* indicator);
short OdbcFetch(HOdbcHandle hstmt);
// The connection's transaction capability; 0 (SQL_TC_NONE) means no transactions.
short OdbcGetTxnCapable(HOdbcHandle hdbc, unsigned short& capability);
short OdbcSetAutocommit(HOdbcHandle hdbc, bool on);
short OdbcTransact(HOdbcHandle henv, HOdbcHandle hdbc, bool commit);
short OdbcExecDirect(HOdbcHandle hstmt, const std::string& sql);
short OdbcListTables(HOdbcHandle hstmt, const char* table);  // SQLTables, tables named so
// The database the driver names (SQL_DBMS_NAME) in lower case; "" when it names none.
std::string OdbcDbmsName(HOdbcHandle hdbc);
bool OdbcConnectionDead(HOdbcHandle hdbc);  // SQL_ATTR_CONNECTION_DEAD as the driver has it
bool OdbcLoaded();  // whether the driver manager could be loaded

}  // namespace quorvel
