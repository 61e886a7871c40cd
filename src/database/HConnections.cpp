#include "database/HConnections.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/HExcept.h"
#include "elements/HElement.h"
#include "values/HContext.h"
#include "values/HValue.h"

namespace quorvel {

namespace {

// The most connections kept unused between requests; beyond it the oldest are closed.
constexpr std::size_t kMaxIdle = 8;

// A descriptor the driver opened while connecting: a database server's socket or file.
struct HHeldFile {
    int fd;
    dev_t device;
    ino_t inode;
    bool socket;
    std::string path;  // of a database file, as it was opened
    bool wal = true;   // it may have a write-ahead log beside it (WalMayBeUsed)
};

// Whether the database file may keep changes in a write-ahead log beside it: unless its
// header says an SQLite database in rollback-journal mode. Only a write to the file changes
// that, so it is read again when the file's marks change.
bool WalMayBeUsed(int fd) {
    unsigned char header[20];
    return ::pread(fd, header, sizeof header, 0) != sizeof header ||
           std::memcmp(header, "SQLite format 3", 16) != 0 || header[18] != 1 || header[19] != 1;
}

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

// The marks of a database file, whose status is `st`, and of the write-ahead log beside it
// where it may have one, as a database keeps its latest changes there.
void AppendMarks(std::vector<long long>& marks, const HHeldFile& file, const struct stat& st) {
    AppendMarks(marks, true, st);
    struct stat wal;
    if (file.wal)
        AppendMarks(marks, !file.path.empty() && ::stat((file.path + "-wal").c_str(), &wal) == 0, wal);
}

// The descriptors open in this process, in ascending order.
std::vector<int> OpenDescriptors() {
    std::vector<int> fds;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(dir);
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' && std::atoi(entry->d_name) != own)
                fds.push_back(std::atoi(entry->d_name));
        ::closedir(dir);
    }
    std::sort(fds.begin(), fds.end());
    return fds;
}

// The sockets and regular files among the descriptors in `after` but not in `before`, and
// the marks of the files.
std::vector<HHeldFile> NewFiles(const std::vector<int>& before, const std::vector<int>& after,
                                std::vector<long long>& marks) {
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
        const bool socket = S_ISSOCK(st.st_mode);
        files.push_back(HHeldFile{fd, st.st_dev, st.st_ino, socket, std::move(path), !socket && WalMayBeUsed(fd)});
        if (!socket)
            AppendMarks(marks, files.back(), st);
    }
    return files;
}

// Whether the files a connection holds still lead to its database: each descriptor is still
// the one opened; a server's socket has nothing to say between requests (one that went
// away has closed it: input or a hang-up); a database file still has its name. The marks
// of the database files, as they stand now, go to `marks` on the way.
bool FilesStillValid(const std::vector<HHeldFile>& files, std::vector<long long>& marks) {
    for (const HHeldFile& f : files) {
        struct stat st, named;
        if (::fstat(f.fd, &st) != 0 || st.st_dev != f.device || st.st_ino != f.inode)
            return false;
        if (f.socket) {
            pollfd p{f.fd, POLLIN | POLLRDHUP, 0};
            if (::poll(&p, 1, 0) != 0)
                return false;
            continue;
        }
        if (st.st_nlink == 0 ||
            (!f.path.empty() &&
             (::stat(f.path.c_str(), &named) != 0 || named.st_dev != f.device || named.st_ino != f.inode)))
            return false;  // removed, moved away, or another file took its name
        AppendMarks(marks, f, st);
    }
    return true;
}

// The files that define data sources and drivers for the driver manager: the system's
// odbc.ini and odbcinst.ini (in ODBCSYSINI, else /etc) and the user's (ODBCINI, else
// ~/.odbc.ini).
std::vector<std::string> OdbcConfigurationFiles() {
    const char* sys = std::getenv("ODBCSYSINI");
    const std::string dir = sys && *sys ? sys : "/etc";
    const char* inst = std::getenv("ODBCINSTINI");
    const char* user = std::getenv("ODBCINI");
    const char* home = std::getenv("HOME");
    return {
        dir + "/odbc.ini",
        inst && *inst ? (inst[0] == '/' ? std::string(inst) : dir + "/" + inst) : dir + "/odbcinst.ini",
        user && *user ? std::string(user) : std::string(home ? home : "") + "/.odbc.ini",
    };
}

// What those files look like now. A file that is missing counts too.
std::vector<long long> OdbcConfigurationMarks() {
    std::vector<long long> marks;
    for (const std::string& file : OdbcConfigurationFiles()) {
        struct stat st;
        AppendMarks(marks, ::stat(file.c_str(), &st) == 0, st);
    }
    return marks;
}

// An inotify descriptor that turns readable when one of `files` may have changed: each
// folder is watched for any entry made, changed, moved or removed, every folder above it for
// being moved or removed, and each file for its content or attributes, whatever name it was
// written through. None (the caller looks at the files every time) when a file or a folder
// on the way is a symbolic link, whose target could change unseen, or cannot be watched.
// The watches are set before the paths are looked at, so a change in between is seen.
// `entries` receives each folder's watch with the name of the file in it.
HFd WatchFiles(const std::vector<std::string>& files, std::vector<std::pair<int, std::string>>& entries) {
    HFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    const auto add = [&](const std::string& path, uint32_t mask) {
        return ::inotify_add_watch(watch.Get(), path.c_str(), mask | IN_DONT_FOLLOW | IN_MASK_ADD) >= 0;
    };
    const uint32_t self = IN_DELETE_SELF | IN_MOVE_SELF;
    for (const std::string& file : files) {
        const size_t slash = file.rfind('/');
        if (!watch || file.empty() || file[0] != '/' || slash + 1 == file.size())
            return HFd();
        const std::string folder = slash == 0 ? "/" : file.substr(0, slash);
        entries.emplace_back(::inotify_add_watch(watch.Get(), folder.c_str(),
                                                 IN_ONLYDIR | IN_DONT_FOLLOW | IN_MASK_ADD | self | IN_CREATE |
                                                     IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE |
                                                     IN_MOVED_FROM | IN_MOVED_TO),
                             file.substr(slash + 1));
        if (entries.back().first < 0)
            return HFd();
        for (size_t end = folder.rfind('/'); end != std::string::npos && end > 0; end = folder.rfind('/', end - 1))
            if (!add(folder.substr(0, end), IN_ONLYDIR | self))
                return HFd();
        char resolved[PATH_MAX];
        struct stat st;
        if (!::realpath(folder.c_str(), resolved) || folder != resolved)
            return HFd();
        if (::lstat(file.c_str(), &st) == 0 &&
            (S_ISLNK(st.st_mode) || !add(file, self | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE)))
            return HFd();
    }
    return watch;
}

// Empties the watch; whether any of its events may concern the files: one on a file itself
// or on a folder (moved, removed), one on a folder's entry of a file's name, or events lost.
// The other entries of their folders (a database file beside them) do not count.
bool TakeEvents(int watch, const std::vector<std::pair<int, std::string>>& entries) {
    alignas(inotify_event) char buffer[4096];
    bool concerned = false;
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            concerned = concerned || event->len == 0 || (event->mask & (IN_Q_OVERFLOW | IN_IGNORED)) != 0 ||
                        std::find(entries.begin(), entries.end(), std::pair<int, std::string>(event->wd, event->name)) !=
                            entries.end();
        }
    }
    return concerned;
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
// PostgreSQL when the session's standard_conforming_strings is off; no other database the
// driver names (`dbms`, in lower case). False when the server's own setting cannot be read.
bool ReadBackslashEscapes(HOdbcHandle hdbc, const std::string& dbms, bool& escapes) {
    std::string setting;
    escapes = false;
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

}  // namespace

// A connection the owner opened, with what it was made for.
struct HConnections::Kept {
    std::string connect;  // the connect string as the template gave it
    std::unique_ptr<HOdbcConnection> connection;
    bool inUse = false;   // handed to the request being served
    bool backslashEscapes = false;  // ReadBackslashEscapes, when it connected
    std::vector<HHeldFile> files;  // what the driver opened to connect
    std::vector<long long> marks;  // of the database files, when the catalog was last read
    // How a request's session is undone: by a statement of the database's own (`resetSql`),
    // by closing it after a statement that may change the session (`closeIfChanged`), else
    // by closing it.
    std::string resetSql;
    bool closeIfChanged = false;
    bool sessionChanged = false;  // a statement that may change the session ran on it
    // Declared last, so that it is dropped before the connection closes.
    HOdbcStatement probe;  // the probe statement, prepared on the connection once

    HOdbcLink Link() const { return {connection->Henv(), connection->Hdbc(), backslashEscapes}; }

    // Runs the probe statement on the connection; false when it fails.
    bool Probe() {
        if (!probe.Get()) {
            probe = OdbcAllocStmt(connection->Hdbc());
            if (!probe.Get() || !OdbcSucceeded(OdbcPrepare(probe.Get(), "SELECT 1"))) {
                probe = HOdbcStatement();
                return false;
            }
        }
        bool ran = OdbcSucceeded(OdbcExecute(probe.Get()));
        OdbcCloseCursor(probe.Get());
        return ran;
    }

    // An embedded database (whose driver holds files, not a socket) that another process
    // changed may still describe result columns from the tables as they were when it last
    // read its catalog. A catalog call that lists no table makes it read it again before the
    // request's first statement, when the database's files (`now`) were written since.
    void RefreshCatalog(std::vector<long long>& now) {
        for (const HHeldFile& f : files)
            if (f.socket)
                return;
        if (now == marks)
            return;
        marks = std::move(now);
        for (HHeldFile& f : files)
            f.wal = WalMayBeUsed(f.fd);
        HOdbcStatement look = OdbcAllocStmt(connection->Hdbc());
        if (look.Get())
            OdbcListTables(look.Get(), "quorvel_no_such_table");
    }

    // Chooses how the session of the connection just opened is reset after each request,
    // by the database the driver names (`dbms`, in lower case):
    // - PostgreSQL: DISCARD ALL in its parts (alone it refuses to share its round trip),
    //   then the settings the driver made when it connected, which RESET ALL undoes;
    // - SQLite keeps nothing of a session that its queries and row changes can alter (its
    //   temporary tables, attached files and pragmas take statements of their own), so it
    //   is closed only after such a statement;
    // - any other is closed after every request, the one sure reset. So is MariaDB: its
    //   driver's reset attribute leaves a temporary table in place, there is no reset
    //   statement, and a SELECT alone can set variables and take locks.
    void ChooseReset(const std::string& dbms) {
        if (dbms.find("sqlite") != std::string::npos) {
            closeIfChanged = true;
        } else if (dbms.find("postgresql") != std::string::npos) {
            std::string settings;
            if (!QueryText(connection->Hdbc(),
                           "SELECT coalesce(string_agg(format('set_config(%L, %L, false)', name, setting), ', '), '')"
                           " FROM pg_settings WHERE source = 'session'",
                           settings, 16384))
                return;
            resetSql = "CLOSE ALL; SET SESSION AUTHORIZATION DEFAULT; RESET ALL; DEALLOCATE ALL; UNLISTEN *;"
                       " SELECT pg_advisory_unlock_all(); DISCARD PLANS; DISCARD TEMP; DISCARD SEQUENCES";
            if (!settings.empty())
                resetSql += "; SELECT " + settings;
        }
    }

    // Undoes what the request left: rolls back, restores auto-commit and resets the
    // session; false when the connection must be closed instead.
    bool Reset() {
        HOdbcConnection& c = *connection;
        if (!OdbcSucceeded(OdbcTransact(c.Henv(), c.Hdbc(), false)) ||
            !OdbcSucceeded(OdbcSetAutocommit(c.Hdbc(), true)))
            return false;
        if (closeIfChanged)
            return !sessionChanged;
        if (resetSql.empty())
            return false;
        probe = HOdbcStatement();  // its prepared statement goes with the session
        HOdbcStatement reset = OdbcAllocStmt(c.Hdbc());
        return reset.Get() && OdbcSucceeded(OdbcExecDirect(reset.Get(), resetSql));
    }
};

HConnections::HConnections() = default;
HConnections::~HConnections() { CloseAll(); }

HOdbcLink HConnections::Select(HContext& ctx, const HElement& element, const HValue* errorUrl) {
    if (element.HasAttribute("CONNECT")) {
        for (const auto& own : own_)
            if (own.first == &element)
                return own.second;
        const HValue* connect = element.Attribute("CONNECT");
        HOdbcLink link = Open(ctx, connect ? connect->GetText() : std::string(), errorUrl);
        own_.emplace_back(&element, link);
        if (!shared_.hdbc && !ctx.symbols.Contains("_CONNECT_"))
            shared_ = link;
        return link;
    }
    if (!shared_.hdbc) {
        if (!ctx.symbols.Contains("_CONNECT_")) {
            HExcept none(kErrConnect);
            none.cause = "no CONNECT attribute and no _CONNECT_ in the configuration";
            throw none;
        }
        const HValue* connect = ctx.symbols.Lookup("_CONNECT_");
        shared_ = Open(ctx, connect ? connect->GetText() : std::string(), errorUrl);
    }
    return shared_;
}

HOdbcLink HConnections::Open(HContext& ctx, const std::string& connect, const HValue* errorUrl) {
    Kept* kept = nullptr;
    bool probeFailed = false;
    if (keep_) {
        ForgetOnNewConfiguration();
        for (auto& c : connections_)
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
        connections_.push_back(std::make_unique<Kept>());
        kept = connections_.back().get();
        kept->connect = connect;
    }
    kept->inUse = true;
    if (kept->connection)
        return kept->Link();
    kept->connection = std::make_unique<HOdbcConnection>();
    HOdbcConnection& connection = *kept->connection;
    HConnectString parts;
    const bool valid = SplitConnectString(connect, parts);
    std::vector<int> before;
    if (valid && keep_)
        before = OpenDescriptors();
    // A connection whose server's quoting rules cannot be learned is not used: values could
    // leave their literals.
    std::string dbms;
    if (valid && OdbcSucceeded(connection.Connect(parts)) &&
        ReadBackslashEscapes(connection.Hdbc(), dbms = OdbcDbmsName(connection.Hdbc()), kept->backslashEscapes)) {
        if (keep_) {
            kept->files = NewFiles(before, OpenDescriptors(), kept->marks);
            kept->ChooseReset(dbms);
        }
        // After a probe on its predecessor failed: if it fails here too, the database does
        // not take it.
        if (probeFailed && kept->files.empty() && !kept->Probe())
            unprobed_.push_back(kept->connect);
        return kept->Link();
    }
    // The password never reaches the debug or statistics log.
    std::string cause = !valid          ? "not of the form DATASOURCE:USER/PASSWORD"
                        : !OdbcLoaded() ? "the ODBC driver manager (libodbc.so.2) cannot be loaded"
                        : connection.Hdbc() ? OdbcDiagnostic(connection.Hdbc(), HOdbcHandleKind::kConnection)
                                            : OdbcDiagnostic(connection.Henv(), HOdbcHandleKind::kEnvironment);
    HExcept failed(kErrConnect, MaskConnectString(connect), errorUrl ? errorUrl->Evaluate(ctx, nullptr) : "");
    failed.cause = std::move(cause);
    failed.odbc = valid && OdbcLoaded();
    throw failed;
}

// Whether a kept connection still reaches its database. The driver's own flag goes first;
// many drivers learn of a server that went away only when they next talk to it, so the
// files the driver opened to connect are looked at (no round trip to the server), and
// where the driver opened none the server is asked a statement that changes nothing.
bool HConnections::StillAlive(Kept& kept) {
    if (OdbcConnectionDead(kept.connection->Hdbc()))
        return false;
    if (!kept.files.empty()) {
        std::vector<long long> marks;
        if (!FilesStillValid(kept.files, marks))
            return false;
        kept.RefreshCatalog(marks);
        return true;
    }
    if (std::find(unprobed_.begin(), unprobed_.end(), kept.connect) != unprobed_.end())
        return true;
    return kept.Probe();
}

// Closes the unused kept connections when the files that define data sources or drivers
// changed since connections were last handed out: a connect string may name another
// database now, as it would for a new process. Looked at once a request.
void HConnections::ForgetOnNewConfiguration() {
    if (configurationChecked_)
        return;
    configurationChecked_ = true;
    if (keep_ && firstConfigurationMarks_.empty())
        configurationWatch_ = WatchFiles(OdbcConfigurationFiles(), watchedEntries_);
    std::vector<long long> now = OdbcConfigurationMarks();
    if (now == configurationMarks_)
        return;
    if (!configurationMarks_.empty())
        connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                          [](const auto& c) { return !c->inUse; }),
                           connections_.end());
    if (firstConfigurationMarks_.empty())
        firstConfigurationMarks_ = now;
    configurationMarks_ = std::move(now);
}

bool HConnections::ConfigurationChanged(bool stirred) {
    if (firstConfigurationMarks_.empty())
        return false;
    // The watch is emptied before the files are looked at: a later change stirs it again.
    if (configurationWatch_ && !(stirred && TakeEvents(configurationWatch_.Get(), watchedEntries_))) {
        // Nothing there changed since they were last looked at (below), as they were first.
        configurationChecked_ = configurationMarks_ == firstConfigurationMarks_;
        return false;
    }
    const std::vector<long long> now = OdbcConfigurationMarks();
    if (now != firstConfigurationMarks_)
        return true;
    // The files as the kept connections were made for: the next request's first connection
    // need not look at them again (ForgetOnNewConfiguration).
    configurationChecked_ = now == configurationMarks_;
    return false;
}

void HConnections::NoteSessionChange(HOdbcHandle hdbc) noexcept {
    for (auto& c : connections_)
        if (c->connection && c->connection->Hdbc() == hdbc)
            c->sessionChanged = true;
}

void HConnections::Release() noexcept {
    shared_ = HOdbcLink();
    own_.clear();
    configurationChecked_ = false;
    for (auto it = connections_.begin(); it != connections_.end();) {
        bool kept = true;
        if ((*it)->inUse) {
            // Nothing the request left (uncommitted or in the session) outlives it; a
            // connection that cannot do that is not used again.
            kept = (*it)->Reset();
            (*it)->inUse = false;
            (*it)->sessionChanged = false;
        }
        it = kept ? it + 1 : connections_.erase(it);
    }
    if (connections_.size() > kMaxIdle)
        connections_.erase(connections_.begin(), connections_.end() - kMaxIdle);
}

void HConnections::CloseAll() noexcept {
    shared_ = HOdbcLink();
    own_.clear();
    while (!connections_.empty())
        connections_.pop_back();
}

}  // namespace quorvel
