// EnsurePostgres: a PostgreSQL server for the database tests of this test process.
//
// When QV_PG_DSN already names one (scripts/pg-start run by whoever runs the tests, shared by
// every test process), that one is used. Otherwise a throwaway server is started with
// scripts/pg-start, listening on 127.0.0.1 only, QV_PG_DSN is set for this process (so that
// DbSite finds it), and the server is stopped and its directory removed when the process ends.
#pragma once

#include <string>

// True when a server is there; otherwise false with the reason in `why`.
bool EnsurePostgres(std::string& why);
