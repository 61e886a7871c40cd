#include <cstdlib>
#include <cstring>

#include "driver/HCheck.h"
#include "driver/HDriver.h"

int main(int argc, char** argv) {
    // A web server always sets GATEWAY_INTERFACE, and may pass the words of a query string
    // without `=` as arguments: a request can never reach the checker that way.
    if (argc > 1 && std::strcmp(argv[1], "--check") == 0 && !std::getenv("GATEWAY_INTERFACE"))
        return RunCheck(argc - 2, argv + 2);
    return RunRequest();
}
