#include "database/HOdbc.h"

#include <sql.h>
#include <sqlext.h>

#include <cstring>
#include <dlfcn.h>
#include <type_traits>

namespace quorvel {

static_assert(std::is_same<SQLLEN, long>::value, "length indicators are bound as long");
static_assert(std::is_same<SQLULEN, unsigned long>::value, "precision is read as unsigned long");
static_assert(std::is_same<SQLHANDLE, void*>::value, "handles travel as void*");

#define QV_ODBC_FUNCTIONS(X)                                                          \
    X(SQLAllocEnv) X(SQLAllocConnect) X(SQLConnect) X(SQLAllocStmt) X(SQLPrepare)     \
    X(SQLExecute) X(SQLFreeStmt) X(SQLSetStmtOption) X(SQLNumResultCols)             \
    X(SQLDescribeCol) X(SQLBindCol) X(SQLFetch) X(SQLGetInfo) X(SQLSetConnectOption) \
    X(SQLTransact) X(SQLDisconnect) X(SQLFreeConnect) X(SQLFreeEnv) X(SQLGetConnectAttr) X(SQLTables) X(SQLExecDirect) \
    X(SQLGetDiagRec)

namespace {

constexpr std::size_t kMaxPartLength = 32767;  // SQLConnect takes 16-bit lengths

SQLCHAR* Chars(std::string_view s) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.data()));
}

// The driver manager is loaded on the first database call, not at process start: a page
// without a database then pays nothing for it, and most requests of a site are such pages.
struct DriverManager {
#define QV_ODBC_FIELD(name) decltype(&::name) name = nullptr;
    QV_ODBC_FUNCTIONS(QV_ODBC_FIELD)
#undef QV_ODBC_FIELD
    bool loaded = false;
};

const DriverManager& Dm() {
    static const DriverManager dm = [] {
        DriverManager d;
        void* lib = ::dlopen("libodbc.so.2", RTLD_NOW | RTLD_GLOBAL);
        if (!lib)
            lib = ::dlopen("libodbc.so", RTLD_NOW | RTLD_GLOBAL);
        if (!lib)
            return d;
        d.loaded = true;
#define QV_ODBC_LOAD(name)                                                   \
        d.name = reinterpret_cast<decltype(&::name)>(::dlsym(lib, #name)); \
        d.loaded = d.loaded && d.name != nullptr;
        QV_ODBC_FUNCTIONS(QV_ODBC_LOAD)
#undef QV_ODBC_LOAD
        return d;
    }();
    return dm;
}

}  // namespace

std::string OdbcDiagnostic(HOdbcHandle handle, HOdbcHandleKind kind) {
    std::string out;
    if (!handle || !Dm().loaded)
        return out;
    const SQLSMALLINT type = kind == HOdbcHandleKind::kStatement    ? SQL_HANDLE_STMT
                             : kind == HOdbcHandleKind::kConnection ? SQL_HANDLE_DBC
                                                                    : SQL_HANDLE_ENV;
    for (SQLSMALLINT record = 1; record <= 3; ++record) {
        SQLCHAR state[6] = {0};
        SQLCHAR message[1024] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        if (!OdbcSucceeded(Dm().SQLGetDiagRec(type, handle, record, state, &native, message,
                                              sizeof message, &length)))
            break;
        if (!out.empty())
            out += "; ";
        out += "SQLSTATE ";
        out += reinterpret_cast<const char*>(state);
        out += ": ";
        out += reinterpret_cast<const char*>(message);
    }
    return out;
}

HOdbcConnection::HOdbcConnection() : henv_(OdbcAllocEnv()), hdbc_(OdbcAllocConnect(henv_)) {}

short HOdbcConnection::Connect(const HConnectString& parts) {
    short rc = OdbcConnect(hdbc_, parts);
    connected_ = OdbcSucceeded(rc);
    return rc;
}

void HOdbcConnection::Close() noexcept {
    if (hdbc_) {
        if (connected_)
            Dm().SQLDisconnect(hdbc_);
        Dm().SQLFreeConnect(hdbc_);
    }
    if (henv_)
        Dm().SQLFreeEnv(henv_);
    henv_ = hdbc_ = nullptr;
    connected_ = false;
}

HOdbcStatement& HOdbcStatement::operator=(HOdbcStatement&& other) noexcept {
    if (this != &other) {
        HOdbcStatement old(handle_);
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

HOdbcStatement::~HOdbcStatement() {
    if (handle_)
        Dm().SQLFreeStmt(handle_, SQL_DROP);
}

bool SplitConnectString(std::string_view connect, HConnectString& parts) {
    std::size_t colon = connect.find(':');
    std::size_t slash = connect.find('/');
    if (colon == connect.npos || slash == connect.npos || slash < colon)
        return false;
    parts.dataSource = connect.substr(0, colon);
    parts.user = connect.substr(colon + 1, slash - colon - 1);
    parts.password = connect.substr(slash + 1);
    return parts.dataSource.size() <= kMaxPartLength && parts.user.size() <= kMaxPartLength &&
           parts.password.size() <= kMaxPartLength;
}

std::string MaskConnectString(std::string_view connect) {
    std::size_t slash = connect.find('/');
    if (slash == connect.npos)
        return std::string(connect);
    return std::string(connect.substr(0, slash + 1)) + "***";
}

HOdbcHandle OdbcAllocEnv() {
    SQLHENV henv = SQL_NULL_HENV;
    if (Dm().loaded)
        Dm().SQLAllocEnv(&henv);
    return henv;
}

HOdbcHandle OdbcAllocConnect(HOdbcHandle henv) {
    SQLHDBC hdbc = SQL_NULL_HDBC;
    if (henv)
        Dm().SQLAllocConnect(henv, &hdbc);
    return hdbc;
}

short OdbcConnect(HOdbcHandle hdbc, const HConnectString& parts) {
    if (!hdbc)
        return SQL_ERROR;  // no driver manager could be loaded
    return Dm().SQLConnect(hdbc, Chars(parts.dataSource), static_cast<SQLSMALLINT>(parts.dataSource.size()),
                      Chars(parts.user), static_cast<SQLSMALLINT>(parts.user.size()),
                      Chars(parts.password), static_cast<SQLSMALLINT>(parts.password.size()));
}

HOdbcStatement OdbcAllocStmt(HOdbcHandle hdbc) {
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    Dm().SQLAllocStmt(hdbc, &hstmt);
    return HOdbcStatement(hstmt);
}

short OdbcPrepare(HOdbcHandle hstmt, const std::string& sql) {
    return Dm().SQLPrepare(hstmt, Chars(sql), SQL_NTS);
}

short OdbcExecute(HOdbcHandle hstmt) { return Dm().SQLExecute(hstmt); }

short OdbcCloseCursor(HOdbcHandle hstmt) { return Dm().SQLFreeStmt(hstmt, SQL_CLOSE); }

short OdbcSetMaxRows(HOdbcHandle hstmt, unsigned long rows) {
    return Dm().SQLSetStmtOption(hstmt, SQL_MAX_ROWS, rows);
}

short OdbcNumResultCols(HOdbcHandle hstmt, short& count) {
    SQLSMALLINT n = 0;
    SQLRETURN rc = Dm().SQLNumResultCols(hstmt, &n);
    count = n;
    return rc;
}

short OdbcDescribeCol(HOdbcHandle hstmt, int column, HOdbcColumn& d) {
    d.name[0] = '\0';
    SQLRETURN rc = Dm().SQLDescribeCol(hstmt, static_cast<SQLUSMALLINT>(column),
                                  reinterpret_cast<SQLCHAR*>(d.name), sizeof d.name,
                                  &d.nameLength, &d.type, &d.precision, &d.scale, &d.nullable);
    d.name[sizeof d.name - 1] = '\0';
    return rc;
}

short OdbcBindCol(HOdbcHandle hstmt, int column, char* buffer, long size, long* indicator) {
    return Dm().SQLBindCol(hstmt, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR, buffer, size, indicator);
}

short OdbcFetch(HOdbcHandle hstmt) { return Dm().SQLFetch(hstmt); }

short OdbcGetTxnCapable(HOdbcHandle hdbc, unsigned short& capability) {
    // The value is 16 bits wide; a 4-byte zeroed buffer takes it whatever the driver writes.
    SQLUINTEGER buffer = 0;
    SQLRETURN rc = Dm().SQLGetInfo(hdbc, SQL_TXN_CAPABLE, &buffer, sizeof buffer, nullptr);
    SQLUSMALLINT value;
    static_assert(sizeof value <= sizeof buffer, "buffer holds the capability");
    std::memcpy(&value, &buffer, sizeof value);
    capability = value;
    return rc;
}

short OdbcSetAutocommit(HOdbcHandle hdbc, bool on) {
    return Dm().SQLSetConnectOption(hdbc, SQL_AUTOCOMMIT, on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF);
}

short OdbcTransact(HOdbcHandle henv, HOdbcHandle hdbc, bool commit) {
    return Dm().SQLTransact(henv, hdbc, commit ? SQL_COMMIT : SQL_ROLLBACK);
}

short OdbcExecDirect(HOdbcHandle hstmt, const std::string& sql) {
    return Dm().SQLExecDirect(hstmt, Chars(sql), static_cast<SQLINTEGER>(sql.size()));
}

short OdbcListTables(HOdbcHandle hstmt, const char* table) {
    return Dm().SQLTables(hstmt, nullptr, 0, nullptr, 0, Chars(table), SQL_NTS, nullptr, 0);
}

std::string OdbcDbmsName(HOdbcHandle hdbc) {
    char name[64] = "";
    SQLSMALLINT length = 0;
    if (!OdbcSucceeded(Dm().SQLGetInfo(hdbc, SQL_DBMS_NAME, name, sizeof name, &length)))
        return std::string();
    name[sizeof name - 1] = '\0';
    std::string dbms(name);
    for (char& c : dbms)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return dbms;
}

bool OdbcConnectionDead(HOdbcHandle hdbc) {
    SQLUINTEGER dead = SQL_CD_FALSE;
    return OdbcSucceeded(Dm().SQLGetConnectAttr(hdbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
           dead == SQL_CD_TRUE;
}

bool OdbcLoaded() { return Dm().loaded; }

}  // namespace quorvel
