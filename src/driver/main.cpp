#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/HVersion.h"
#include "check/HCheck.h"
#include "driver/HDriver.h"

using namespace quorvel;

namespace {

const char kUsage[] =
    "usage: quorvel --check FILE...   check templates, report faults as FILE:LINE:COLUMN\n"
    "       quorvel --version         print the version\n"
    "       quorvel --help            print this text\n"
    "Started by a web server (GATEWAY_INTERFACE set), quorvel is the CGI gateway: it writes\n"
    "the page that PATH_INFO names, whatever its arguments.\n";

}  // namespace

int main(int argc, char** argv) {
    // A web server always sets GATEWAY_INTERFACE, and may pass the words of a query string
    // without `=` as arguments: a request can never reach the options that way.
    if (argc > 1 && argv[1][0] == '-' && !std::getenv("GATEWAY_INTERFACE")) {
        const char* option = argv[1];
        if (std::strcmp(option, "--check") == 0)
            return RunCheck(argc - 2, argv + 2);
        if (argc == 2 && std::strcmp(option, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argc == 2 && std::strcmp(option, "--version") == 0) {
            std::printf("quorvel %s\n", Version());
            return 0;
        }
        // Run from a terminal with an option it does not know, the gateway would answer a
        // request nobody made and write its statistics log into the current folder.
        std::fputs(kUsage, stderr);
        return 2;
    }
    return RunRequest();
}
