// The libFuzzer entry of one fuzz target; QUORVEL_FUZZ_CHECK names its check function
// (FuzzChecks.h). Built once per target by fuzz/CMakeLists.txt.
#include <cstdlib>

#include "FuzzChecks.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A template may name programs to run and data sources to connect to. Keep both out of
    // reach: no program is found on PATH and no data source is configured.
    ::setenv("PATH", "/nonexistent-quorvel-fuzz", 1);
    ::setenv("ODBCSYSINI", "/nonexistent-quorvel-fuzz", 1);
    ::setenv("ODBCINI", "/nonexistent-quorvel-fuzz/odbc.ini", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QUORVEL_FUZZ_CHECK(data, size);
    return 0;
}
