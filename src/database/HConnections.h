// HConnections: every database connection of the process, and the request's view of them.
//
// One per process, owned by the driver and reached through HContext::connections (a test
// makes its own). It owns each connection it opened, with what it learned when connecting
// (its server's quoting, how its session is reset, the files its driver holds), until
// CloseAll; for the request being served it knows the shared connection and each SQL
// element's own, until Release.
// REQUIRES: the statements made on its connections are dropped before Release, CloseAll or
// its end (the contexts that made them are gone).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "database/HOdbc.h"
#include "template/HFileIo.h"

namespace quorvel {

class HContext;
class HElement;
class HValue;

// A connection as the request uses it: its handles, and whether its server reads a backslash
// in a plain quoted literal as an escape (MySQL and MariaDB without NO_BACKSLASH_ESCAPES,
// PostgreSQL with standard_conforming_strings off), as it said when the connection was made.
struct HOdbcLink {
    HOdbcHandle henv = nullptr;
    HOdbcHandle hdbc = nullptr;
    bool backslashEscapes = false;
};

class HConnections {
public:
    HConnections();
    ~HConnections();  // CloseAll
    HConnections(const HConnections&) = delete;
    HConnections& operator=(const HConnections&) = delete;

    // Whether connections are kept for later requests (a process that serves many); off by
    // default: every connection asked for is opened anew.
    void Keep(bool keep) noexcept { keep_ = keep; }

    // The connection `element` (an SQL element) runs on in the request being served:
    // - with a CONNECT attribute (its text as written: references in it are not replaced),
    //   the one the element opened earlier in this request, else one opened for it, which
    //   also becomes the shared connection when there is none and no `_CONNECT_`;
    // - without one, the shared connection, opened from `_CONNECT_` at its first use.
    // Raises as Open does, or HExcept 0 when there is neither CONNECT nor `_CONNECT_`.
    // REQUIRES: `element` lives until Release (the request's tree is kept to its end).
    HOdbcLink Select(HContext& ctx, const HElement& element, const HValue* errorUrl);

    // A connection for `connect` (DATASOURCE:USER/PASSWORD): while connections are kept, an
    // unused kept one with that string that still reaches its database, else a new one.
    // Raises HExcept 0 with the masked connect string as detail, the driver's diagnostic as
    // cause and the evaluated `errorUrl` (if any) as URL when the string is malformed (no
    // attempt is made), the connection fails or its server's quoting cannot be learned.
    HOdbcLink Open(HContext& ctx, const std::string& connect, const HValue* errorUrl);

    // Notes that a statement that may change the session (anything but a query or a row
    // change) runs on `hdbc`, which a database reset by closing closes after the request.
    void NoteSessionChange(HOdbcHandle hdbc) noexcept;

    // Ends the request's use of the connections: each one it used is rolled back, put back
    // in auto-commit mode and its session reset in the way its database offers, then kept;
    // one that cannot be is closed. At most a few unused connections are kept.
    void Release() noexcept;

    void CloseAll() noexcept;  // closes every connection, newest first

    // Whether the files that define data sources and drivers (odbc.ini, odbcinst.ini, the
    // user's .odbc.ini) changed since the first connection kept, which only a new process
    // sees: the driver manager keeps what it read of them. Asked between requests, an answer
    // of false also spares the next request its own look at them. While ConfigurationWatch()
    // is a descriptor, they are looked at only when it was `stirred` (found readable).
    bool ConfigurationChanged(bool stirred = true);
    // Readable when those files may have changed since ConfigurationChanged last looked;
    // -1 before a kept owner's first connection, or when they cannot be watched.
    int ConfigurationWatch() const noexcept { return configurationWatch_.Get(); }

private:
    struct Kept;

    void ForgetOnNewConfiguration();
    bool StillAlive(Kept& kept);

    std::vector<std::unique_ptr<Kept>> connections_;  // oldest first
    bool keep_ = false;
    // The request's view: its shared connection, and the connection of each element that
    // named its own.
    HOdbcLink shared_;
    std::vector<std::pair<const HElement*, HOdbcLink>> own_;
    // The configuration files' marks when connections were last handed out, and when first;
    // whether the request being served has had them looked at.
    std::vector<long long> configurationMarks_;
    std::vector<long long> firstConfigurationMarks_;
    bool configurationChecked_ = false;
    // Readable when the files may have changed (see WatchFiles), with each folder's watch
    // and the name of a file in it.
    HFd configurationWatch_;
    std::vector<std::pair<int, std::string>> watchedEntries_;
    // Connect strings whose databases refuse the probe statement: only the driver's own
    // word tells whether such a connection is alive.
    std::vector<std::string> unprobed_;
};

}  // namespace quorvel
