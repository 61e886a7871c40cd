// A request handed in by a test: its CGI variables, body and clock are fixed values, and
// nothing it does reaches the process environment or standard input.
#pragma once

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>

#include "base/HRequest.h"

class FakeRequest final : public quorvel::HRequest {
public:
    std::map<std::string, std::string> variables;
    std::string body;
    std::time_t now = 0;
    // Run as the body is read: a test's way to fail in the middle of a request.
    std::function<void()> fault;

    const char* Variable(const char* name) const override {
        auto it = variables.find(name);
        return it == variables.end() ? nullptr : it->second.c_str();
    }
    void SetVariable(const char* name, const std::string& value) override { variables[name] = value; }
    long ReadBody(char* buffer, std::size_t size) override {
        if (fault)
            fault();
        size_t n = std::min(size, body.size() - read_);
        std::memcpy(buffer, body.data() + read_, n);
        read_ += n;
        return static_cast<long>(n);
    }
    std::time_t Now() const override { return now; }
    bool Send(std::string_view head, std::string_view body) override {
        response.append(head).append(body);
        return true;
    }
    char* const* ProgramEnvironment() override { return environment; }
    quorvel::HClientWatch ClientWatch() const override { return quorvel::HClientWatch(); }
    void LogError(std::string_view line) override { errors.append(line).append("\n"); }

    std::string response;  // what the request sent
    std::string errors;    // what it wrote to its error stream

private:
    char* environment[1] = {nullptr};
    size_t read_ = 0;
};
