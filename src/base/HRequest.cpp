#include "base/HRequest.h"

#include <cstdlib>
#include <unistd.h>

namespace quorvel {

namespace {

class HCgiRequest final : public HRequest {
public:
    const char* Variable(const char* name) const override { return std::getenv(name); }
    void SetVariable(const char* name, const std::string& value) override {
        ::setenv(name, value.c_str(), 1);
    }
    long ReadBody(char* buffer, std::size_t size) override { return ::read(0, buffer, size); }
    std::time_t Now() const override { return std::time(nullptr); }
};

}  // namespace

HRequest& CgiRequest() {
    static HCgiRequest request;
    return request;
}

}  // namespace quorvel
