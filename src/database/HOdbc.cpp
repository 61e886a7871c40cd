#include "database/HOdbc.h"

#include "values/HContext.h"
#include "base/HExcept.h"
#include "values/HValue.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dlfcn.h>
#include <memory>
#include <type_traits>
#include <vector>

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

// A descriptor the driver opened while connecting: the socket to a database server, or the
// database file of an embedded database.
struct HHeldFile {
    int fd;
    dev_t device;
    ino_t inode;
    bool socket;
    std::string path;  // of a database file, as it was opened
};

// What changes when a file is written or replaced, appended to `marks`: whether it is there,
// its inode, its modification and change times and its size (`found` false: a missing file).
void AppendMarks(std::vector<long long>& marks, bool found, const struct stat& st) {
    if (!found) {
        marks.insert(marks.end(), {0, 0, 0, 0, 0});
        return;
    }
    marks.insert(marks.end(), {1, static_cast<long long>(st.st_ino),
                               st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                               st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec,
                               static_cast<long long>(st.st_size)});
}

// The marks of a database file and of the write-ahead log beside it, where an embedded
// database may keep its latest changes.
void AppendMarks(std::vector<long long>& marks, const HHeldFile& file) {
    struct stat st;
    AppendMarks(marks, ::fstat(file.fd, &st) == 0, st);
    AppendMarks(marks, !file.path.empty() && ::stat((file.path + "-wal").c_str(), &st) == 0, st);
}

// The descriptors open in this process, in ascending order.
std::vector<int> OpenDescriptors() {
    std::vector<int> fds;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(dir);
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') {
                int fd = std::atoi(entry->d_name);
                if (fd != own)
                    fds.push_back(fd);
            }
        }
        ::closedir(dir);
    }
    std::sort(fds.begin(), fds.end());
    return fds;
}

// The sockets and regular files among the descriptors in `after` but not in `before`.
std::vector<HHeldFile> NewFiles(const std::vector<int>& before, const std::vector<int>& after) {
    std::vector<HHeldFile> files;
    for (int fd : after) {
        struct stat st;
        if (std::binary_search(before.begin(), before.end(), fd) || ::fstat(fd, &st) != 0)
            continue;
        if (!S_ISSOCK(st.st_mode) && !S_ISREG(st.st_mode))
            continue;
        std::string path;
        if (S_ISREG(st.st_mode)) {
            char link[4096];
            ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link);
            if (n > 0 && n < static_cast<ssize_t>(sizeof link))
                path.assign(link, static_cast<std::size_t>(n));
        }
        files.push_back(HHeldFile{fd, st.st_dev, st.st_ino, S_ISSOCK(st.st_mode), std::move(path)});
    }
    return files;
}

// Whether the files a connection holds still lead to its database: each descriptor is still
// the one opened; a server's socket has nothing to say between requests (a server that
// went away has closed it, which poll reports as input or a hang-up); a database file
// still has its name (one that was removed, moved or replaced by another file has not).
bool FilesStillValid(const std::vector<HHeldFile>& files) {
    for (const HHeldFile& f : files) {
        struct stat st;
        if (::fstat(f.fd, &st) != 0 || st.st_dev != f.device || st.st_ino != f.inode)
            return false;
        if (f.socket) {
            pollfd p{f.fd, POLLIN | POLLRDHUP, 0};
            if (::poll(&p, 1, 0) != 0)
                return false;
        } else if (st.st_nlink == 0) {
            return false;
        } else if (!f.path.empty() &&
                   (::stat(f.path.c_str(), &st) != 0 || st.st_dev != f.device || st.st_ino != f.inode)) {
            return false;  // moved away, or another file took its name
        }
    }
    return true;
}

// What the files that define data sources and drivers for the driver manager look like now:
// the system's odbc.ini and odbcinst.ini (in ODBCSYSINI, else /etc) and the user's (ODBCINI,
// else ~/.odbc.ini). A file that is missing counts too.
std::vector<long long> OdbcConfigurationMarks() {
    const char* sys = std::getenv("ODBCSYSINI");
    const std::string dir = sys && *sys ? sys : "/etc";
    const char* inst = std::getenv("ODBCINSTINI");
    const char* user = std::getenv("ODBCINI");
    const char* home = std::getenv("HOME");
    const std::string files[] = {
        dir + "/odbc.ini",
        inst && *inst ? (inst[0] == '/' ? std::string(inst) : dir + "/" + inst) : dir + "/odbcinst.ini",
        user && *user ? std::string(user) : std::string(home ? home : "") + "/.odbc.ini",
    };
    std::vector<long long> marks;
    for (const std::string& file : files) {
        struct stat st;
        AppendMarks(marks, ::stat(file.c_str(), &st) == 0, st);
    }
    return marks;
}

// A connection OpenConnection made, with what it was made for.
struct HKeptConnection {
    std::string connect;  // the connect string as the template gave it
    std::unique_ptr<HOdbcConnection> connection;
    bool inUse = false;   // handed to the request being served
    bool backslashEscapes = false;  // ReadBackslashEscapes, when it connected
    std::vector<HHeldFile> files;  // what the driver opened to connect
    std::vector<long long> marks;  // of `files` (AppendMarks), when the catalog was last read
    // How what a request left in the session is undone before the next request: by a
    // statement of the database's own (`resetSql`), by closing the connection when a
    // statement that may change the session ran (`closeIfChanged`), else by closing it.
    std::string resetSql;
    bool closeIfChanged = false;
    bool sessionChanged = false;  // a statement that may change the session ran on it
    // Declared last, so that it is dropped before the connection closes.
    HOdbcStatement probe;  // the probe statement, prepared on the connection once
};

// The connections OpenConnection made, oldest first. Never destroyed at exit: the driver
// manager may have shut down by then; CloseConnections releases them.
std::vector<std::unique_ptr<HKeptConnection>>& Connections() {
    static auto* connections = new std::vector<std::unique_ptr<HKeptConnection>>();
    return *connections;
}

bool keepConnections = false;
// Counts the ends of requests' use of connections (ConnectionGeneration).
unsigned long generation = 0;
// OdbcConfigurationMarks when connections were last handed out, and when first (empty
// before the first).
std::vector<long long> configurationMarks;
std::vector<long long> firstConfigurationMarks;
// Whether the request being served has had its configuration files looked at.
bool configurationChecked = false;

// Closes the unused kept connections when the files that define data sources or drivers
// changed since connections were last handed out: a connect string may name another
// database now, as it would for a new process. Looked at once a request.
void ForgetConnectionsOnNewConfiguration() {
    if (configurationChecked)
        return;
    configurationChecked = true;
    std::vector<long long> now = OdbcConfigurationMarks();
    if (now == configurationMarks)
        return;
    if (!configurationMarks.empty()) {
        auto& connections = Connections();
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const auto& c) { return !c->inUse; }),
                          connections.end());
    }
    if (firstConfigurationMarks.empty())
        firstConfigurationMarks = now;
    configurationMarks = std::move(now);
}
// The most connections kept unused between requests; beyond it the oldest are closed.
constexpr std::size_t kMaxIdle = 8;
// Connect strings whose databases refuse the probe statement: only the driver's own word
// tells whether such a connection is alive.
std::vector<std::string> unprobed;

constexpr char kProbe[] = "SELECT 1";

// Runs the probe statement on the connection; false when it fails.
bool Probe(HKeptConnection& kept) {
    if (!kept.probe.Get()) {
        kept.probe = OdbcAllocStmt(kept.connection->Hdbc());
        if (!kept.probe.Get() || !OdbcSucceeded(OdbcPrepare(kept.probe.Get(), kProbe))) {
            kept.probe = HOdbcStatement();
            return false;
        }
    }
    bool ran = OdbcSucceeded(OdbcExecute(kept.probe.Get()));
    OdbcCloseCursor(kept.probe.Get());
    return ran;
}

// An embedded database (one whose driver holds files, not a socket) that another process
// changed since its last request may still describe result columns from the tables as
// they were when it last read its catalog, until a statement has read the catalog again.
// A catalog call that lists no table makes it do so before the request's first statement,
// when the database's files have been written since the last such call.
void RefreshCatalog(HKeptConnection& kept) {
    std::vector<long long> marks;
    for (const HHeldFile& f : kept.files) {
        if (f.socket)
            return;
        AppendMarks(marks, f);
    }
    // Unchanged files: nothing to read again.
    if (marks == kept.marks)
        return;
    kept.marks = std::move(marks);
    HOdbcStatement look = OdbcAllocStmt(kept.connection->Hdbc());
    if (!look.Get())
        return;
    static const char kNoTable[] = "quorvel_no_such_table";
    Dm().SQLTables(look.Get(), nullptr, 0, nullptr, 0, Chars(kNoTable), SQL_NTS, nullptr, 0);
}

// Whether a kept connection still reaches its database. The driver's own flag goes first;
// many drivers learn of a server that went away only when they next talk to it, so the
// files the driver opened to connect are looked at (no round trip to the server), and
// where the driver opened none the server is asked a statement that changes nothing.
bool StillAlive(HKeptConnection& kept) {
    HOdbcHandle hdbc = kept.connection->Hdbc();
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (OdbcSucceeded(Dm().SQLGetConnectAttr(hdbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
        dead == SQL_CD_TRUE)
        return false;
    if (!kept.files.empty()) {
        if (!FilesStillValid(kept.files))
            return false;
        RefreshCatalog(kept);
        return true;
    }
    if (std::find(unprobed.begin(), unprobed.end(), kept.connect) != unprobed.end())
        return true;
    return Probe(kept);
}

// Learns whether the probe works on a connection just opened for `kept`, after a probe on
// its predecessor failed: if it fails here too, the database does not take it.
void CheckProbe(HKeptConnection& kept) {
    if (!Probe(kept))
        unprobed.push_back(kept.connect);
}

// The first column of the first row of `sql` on the connection (NULL: the empty text), or
// false when the statement fails or the text does not fit in `size` bytes.
bool QueryText(HOdbcHandle hdbc, const char* sql, std::string& text, long size = 64) {
    HOdbcStatement stmt = OdbcAllocStmt(hdbc);
    std::string buffer(static_cast<std::size_t>(size), '\0');
    long length = 0;
    if (!stmt.Get() || !OdbcSucceeded(OdbcPrepare(stmt.Get(), sql)) ||
        !OdbcSucceeded(OdbcExecute(stmt.Get())) ||
        !OdbcSucceeded(OdbcBindCol(stmt.Get(), 1, &buffer[0], size, &length)) ||
        !OdbcSucceeded(OdbcFetch(stmt.Get())) || length >= size)
        return false;
    text.assign(buffer.data(), length < 0 ? 0 : static_cast<std::size_t>(length));
    OdbcCloseCursor(stmt.Get());
    return true;
}

// Whether the server of a connection just made reads a backslash in a plain literal as an
// escape: MySQL and MariaDB unless the session's sql_mode holds NO_BACKSLASH_ESCAPES,
// PostgreSQL when the session's standard_conforming_strings is off. False when the server's
// own setting cannot be read.
bool ReadBackslashEscapes(HOdbcHandle hdbc, bool& escapes) {
    char name[64] = {0};
    SQLSMALLINT length = 0;
    escapes = false;
    if (!OdbcSucceeded(Dm().SQLGetInfo(hdbc, SQL_DBMS_NAME, name, sizeof name, &length)))
        return true;  // a driver that cannot name its database: none of those above
    name[sizeof name - 1] = '\0';
    std::string dbms(name), setting;
    for (char& c : dbms)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (dbms.find("mysql") != std::string::npos || dbms.find("mariadb") != std::string::npos) {
        if (!QueryText(hdbc, "SELECT FIND_IN_SET('NO_BACKSLASH_ESCAPES', @@SESSION.sql_mode)", setting))
            return false;
        escapes = setting == "0";
    } else if (dbms.find("postgresql") != std::string::npos) {
        if (!QueryText(hdbc, "SHOW standard_conforming_strings", setting))
            return false;
        escapes = setting != "on";
    }
    return true;
}

// PostgreSQL's reset: DISCARD ALL, written out as its parts because DISCARD ALL alone refuses
// to share its round trip, followed by the settings the driver made when it connected
// (read once, as the connection stands then), which RESET ALL undoes.
bool PostgresReset(HKeptConnection& kept) {
    std::string settings;
    if (!QueryText(kept.connection->Hdbc(),
                   "SELECT coalesce(string_agg(format('set_config(%L, %L, false)', name, setting), ', '), '')"
                   " FROM pg_settings WHERE source = 'session'",
                   settings, 16384))
        return false;
    kept.resetSql = "CLOSE ALL; SET SESSION AUTHORIZATION DEFAULT; RESET ALL; DEALLOCATE ALL; UNLISTEN *;"
                    " SELECT pg_advisory_unlock_all(); DISCARD PLANS; DISCARD TEMP; DISCARD SEQUENCES";
    if (!settings.empty())
        kept.resetSql += "; SELECT " + settings;
    return true;
}

// Chooses how the session of a connection just opened is reset after each request, by the
// database the driver names:
// - PostgreSQL: the reset statement above;
// - SQLite keeps nothing of a session that its queries and row changes can alter (its
//   temporary tables, attached files and pragmas take statements of their own), so it is
//   closed only after such a statement;
// - any other database is closed after every request: a new connection is the one sure
//   reset. That includes MariaDB: ODBC's reset attribute reports success through its
//   driver but leaves a temporary table in place, there is no reset statement, and a
//   SELECT alone can set variables and take locks. A database plugs in here with its own
//   way of resetting.
void ChooseReset(HKeptConnection& kept) {
    static const struct {
        const char* name;  // in SQL_DBMS_NAME, any case
        bool (*learn)(HKeptConnection&);
    } kResets[] = {
        {"postgresql", PostgresReset},
        {"sqlite", [](HKeptConnection& k) { return k.closeIfChanged = true; }},
    };
    char name[64] = "";
    SQLSMALLINT length = 0;
    if (!OdbcSucceeded(Dm().SQLGetInfo(kept.connection->Hdbc(), SQL_DBMS_NAME, name, sizeof name, &length)))
        return;
    name[sizeof name - 1] = '\0';
    for (const auto& reset : kResets)
        if (strcasestr(name, reset.name) && reset.learn(kept))
            return;
}

// Undoes what the request left in the session of `kept`; false when the connection must be
// closed instead.
bool ResetSession(HKeptConnection& kept) {
    if (kept.closeIfChanged)
        return !kept.sessionChanged;
    if (kept.resetSql.empty())
        return false;
    kept.probe = HOdbcStatement();  // its prepared statement goes with the session
    HOdbcStatement reset = OdbcAllocStmt(kept.connection->Hdbc());
    return reset.Get() &&
           OdbcSucceeded(Dm().SQLExecDirect(reset.Get(), Chars(kept.resetSql), static_cast<SQLINTEGER>(kept.resetSql.size())));
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

void NoteSessionChange(HOdbcHandle hdbc) noexcept {
    for (auto& c : Connections())
        if (c->connection && c->connection->Hdbc() == hdbc)
            c->sessionChanged = true;
}

unsigned long ConnectionGeneration() noexcept { return generation; }

bool OdbcBackslashEscapes(HOdbcHandle hdbc) {
    for (const auto& c : Connections())
        if (c->connection && c->connection->Hdbc() == hdbc)
            return c->backslashEscapes;
    return false;
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

void CloseConnections() noexcept {
    ++generation;
    auto& connections = Connections();
    while (!connections.empty())
        connections.pop_back();
}

void KeepConnections(bool keep) noexcept { keepConnections = keep; }

bool OdbcConfigurationChanged() {
    if (firstConfigurationMarks.empty())
        return false;
    const std::vector<long long> now = OdbcConfigurationMarks();
    if (now != firstConfigurationMarks)
        return true;
    // The files as the kept connections were made for: the next request's first connection
    // need not look at them again (ForgetConnectionsOnNewConfiguration).
    configurationChecked = now == configurationMarks;
    return false;
}

void ReleaseConnections() noexcept {
    ++generation;
    configurationChecked = false;
    auto& connections = Connections();
    for (auto it = connections.begin(); it != connections.end();) {
        bool kept = true;
        if ((*it)->inUse) {
            // Whatever the request left uncommitted is undone, and the next request starts
            // in auto-commit mode; a connection that cannot do that is not used again.
            HOdbcConnection& c = *(*it)->connection;
            // Then nothing else it left in the session outlives it either.
            kept = OdbcSucceeded(OdbcTransact(c.Henv(), c.Hdbc(), false)) &&
                   OdbcSucceeded(Dm().SQLSetConnectOption(c.Hdbc(), SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON)) &&
                   ResetSession(**it);
            (*it)->inUse = false;
            (*it)->sessionChanged = false;
        }
        it = kept ? it + 1 : connections.erase(it);
    }
    if (connections.size() > kMaxIdle)
        connections.erase(connections.begin(), connections.end() - kMaxIdle);
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

short OdbcSetAutocommitOff(HOdbcHandle hdbc) {
    return Dm().SQLSetConnectOption(hdbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF);
}

short OdbcTransact(HOdbcHandle henv, HOdbcHandle hdbc, bool commit) {
    return Dm().SQLTransact(henv, hdbc, commit ? SQL_COMMIT : SQL_ROLLBACK);
}

void OpenConnection(HContext& ctx, const std::string& connect, HOdbcHandle& henv,
                    HOdbcHandle& hdbc, const HValue* errorUrl) {
    auto& connections = Connections();
    HKeptConnection* kept = nullptr;
    bool probeFailed = false;
    if (keepConnections) {
        ForgetConnectionsOnNewConfiguration();
        for (auto& c : connections)
            if (!c->inUse && c->connect == connect) {
                kept = c.get();
                break;
            }
        // A connection that died since the last request (the server restarted) is opened
        // anew; nothing of this request has run on it yet.
        if (kept && !StillAlive(*kept)) {
            kept->probe = HOdbcStatement();
            kept->files.clear();
            kept->marks.clear();
            kept->connection.reset();
            probeFailed = true;
        }
    }
    if (!kept) {
        connections.push_back(std::make_unique<HKeptConnection>());
        kept = connections.back().get();
        kept->connect = connect;
    }
    kept->inUse = true;
    if (kept->connection) {
        henv = kept->connection->Henv();
        hdbc = kept->connection->Hdbc();
        return;
    }
    kept->connection = std::make_unique<HOdbcConnection>();
    HOdbcConnection& connection = *kept->connection;
    henv = connection.Henv();
    hdbc = connection.Hdbc();
    HConnectString parts;
    const bool valid = SplitConnectString(connect, parts);
    std::vector<int> before;
    if (valid && keepConnections)
        before = OpenDescriptors();
    // A connection whose server's quoting rules cannot be learned is not used: values could
    // leave their literals.
    if (valid && OdbcSucceeded(connection.Connect(parts)) &&
        ReadBackslashEscapes(hdbc, kept->backslashEscapes)) {
        if (keepConnections) {
            kept->files = NewFiles(before, OpenDescriptors());
            for (const HHeldFile& f : kept->files)
                AppendMarks(kept->marks, f);
            ChooseReset(*kept);
        }
        if (probeFailed && kept->files.empty())
            CheckProbe(*kept);
        return;
    }
    // The password never reaches the debug or statistics log.
    std::string cause;
    if (!valid)
        cause = "not of the form DATASOURCE:USER/PASSWORD";
    else if (!Dm().loaded)
        cause = "the ODBC driver manager (libodbc.so.2) cannot be loaded";
    else
        cause = hdbc ? OdbcDiagnostic(hdbc, HOdbcHandleKind::kConnection)
                     : OdbcDiagnostic(henv, HOdbcHandleKind::kEnvironment);
    HExcept failed(kErrConnect, MaskConnectString(connect), errorUrl ? errorUrl->Evaluate(ctx, nullptr) : "");
    failed.cause = std::move(cause);
    failed.odbc = valid && Dm().loaded;
    throw failed;
}

}  // namespace quorvel
