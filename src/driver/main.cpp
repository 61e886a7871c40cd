#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/HVersion.h"
#include "check/HCheck.h"
#include "driver/HDriver.h"
#include "driver/HFastCgi.h"
#include "driver/HServe.h"

using namespace quorvel;

namespace {

const char kUsage[] =
    "usage: quorvel --check FILE...   check templates, report faults as FILE:LINE:COLUMN\n"
    "       quorvel --render PATH [NAME=VALUE]...\n"
    "                                 print the answer to a GET of the template PATH of the\n"
    "                                 site in the working directory, with these query\n"
    "                                 parameters; failures on standard error\n"
    "       quorvel --fastcgi ADDRESS [--site DIR] [--max-requests N]\n"
    "                                 serve requests over FastCGI on ADDRESS (HOST:PORT or\n"
    "                                 the path of a Unix socket)\n"
    "       quorvel [--site DIR] [--max-requests N]\n"
    "                                 serve requests over FastCGI on the listening socket\n"
    "                                 that is standard input (as web servers start it)\n"
    "       quorvel --serve [HOST:PORT] [--site DIR]\n"
    "                                 development server: serve the site's templates and\n"
    "                                 files over HTTP on HOST:PORT (default 127.0.0.1:8080),\n"
    "                                 with error details in the page\n"
    "       quorvel --version         print the version\n"
    "       quorvel --help            print this text\n"
    "Started by a web server (GATEWAY_INTERFACE or REQUEST_METHOD set), quorvel is the CGI\n"
    "gateway: it writes the page that PATH_INFO names, whatever its arguments; each failure\n"
    "is one line on standard error. Serving over FastCGI, it serves\n"
    "from DIR (default: the working directory) until SIGTERM, after the request it is serving,\n"
    "or until it has served N requests; SIGUSR2 reloads it (binary and ODBC settings) with\n"
    "no request refused.\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// Reads the server options from argv[1..]; false on anything else.
bool ReadServerOptions(int argc, char** argv, HServerOptions& options, bool& bind) {
    for (int i = 1; i < argc; i += 2) {
        const char* option = argv[i];
        if (i + 1 >= argc || !*argv[i + 1])
            return false;
        const char* value = argv[i + 1];
        if (std::strcmp(option, "--fastcgi") == 0 && !bind) {
            bind = true;
            options.address = value;
        } else if (std::strcmp(option, "--site") == 0 && options.site.empty()) {
            options.site = value;
        } else if (std::strcmp(option, "--max-requests") == 0 && options.maxRequests == 0) {
            char* end = nullptr;
            errno = 0;
            unsigned long n = std::strtoul(value, &end, 10);
            if (*value < '0' || *value > '9' || *end || errno || n == 0)
                return false;
            options.maxRequests = n;
        } else {
            return false;
        }
    }
    return true;
}

// Reads `--serve [HOST:PORT] [--site DIR]` (in any order) and serves; a bad address is
// refused with a message and status 1, anything else with the usage.
int Serve(int argc, char** argv) {
    HServeOptions options;
    bool serve = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--serve") == 0 && !serve) {
            serve = true;
            if (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) {
                std::string error;
                if (!ParseServeAddress(argv[++i], options, error)) {
                    std::fprintf(stderr, "quorvel: bad address %s: %s\n", argv[i], error.c_str());
                    return 1;
                }
            }
        } else if (std::strcmp(argv[i], "--site") == 0 && options.site.empty() && i + 1 < argc && *argv[i + 1]) {
            options.site = argv[++i];
        } else {
            return Usage();
        }
    }
    return ServeDevelopment(options);
}

// `--render PATH NAME=VALUE...`; usage when a parameter has no `=`.
int Render(int argc, char** argv) {
    std::vector<std::pair<std::string, std::string>> parameters;
    for (int i = 3; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (!eq || eq == argv[i])
            return Usage();
        parameters.emplace_back(std::string(argv[i], static_cast<std::size_t>(eq - argv[i])), std::string(eq + 1));
    }
    return RenderTemplate(argv[2], parameters);
}

// Whether the process was started as a CGI program: a web server always sets these.
bool StartedAsCgi() { return std::getenv("GATEWAY_INTERFACE") || std::getenv("REQUEST_METHOD"); }

}  // namespace

int main(int argc, char** argv) {
    // A web server always sets GATEWAY_INTERFACE for a CGI program, and may pass the words
    // of a query string without `=` as arguments: a request can never reach the options.
    if (argc > 1 && argv[1][0] == '-' && !std::getenv("GATEWAY_INTERFACE")) {
        const char* option = argv[1];
        if (std::strcmp(option, "--check") == 0)
            return RunCheck(argc - 2, argv + 2);
        if (std::strcmp(option, "--render") == 0)
            return argc >= 3 && *argv[2] ? Render(argc, argv) : Usage();
        if (argc == 2 && std::strcmp(option, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argc == 2 && std::strcmp(option, "--version") == 0) {
            std::printf("quorvel %s\n", Version());
            return 0;
        }
        for (int i = 1; i < argc; ++i)
            if (std::strcmp(argv[i], "--serve") == 0)
                return Serve(argc, argv);
        HServerOptions options;
        bool bind = false;
        if (!ReadServerOptions(argc, argv, options, bind))
            return Usage();
        if (!bind && !StandardInputListens()) {
            // Run from a terminal with server options but nothing to serve.
            std::fputs("quorvel: standard input is not a listening socket; use --fastcgi ADDRESS\n", stderr);
            return Usage();
        }
        return ServeFastCgi(options);
    }
    if (argc == 1 && StandardInputListens())
        return ServeFastCgi(HServerOptions());
    // Run by hand, with nothing to serve: say how to use it, and write nothing anywhere.
    if (!StartedAsCgi())
        return Usage();
    return RunRequest();
}
