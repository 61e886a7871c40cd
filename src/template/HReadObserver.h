// HReadObserver: watches the template reader from outside, to learn where each token and
// each included file stands.
//
// The template checker (`quorvel --check`) puts one into the context before it reads a
// template; a request never has one, so reading pays only a null test per token. The
// observer is told about tokens and files only; it cannot change what is read.
#pragma once

#include <cstddef>
#include <string>

namespace quorvel {

class HElement;
class HInput;

class HReadObserver {
public:
    virtual ~HReadObserver() = default;

    // The scanner is about to read a token that starts at byte `offset` of `in`.
    virtual void TokenStart(const HInput& in, size_t offset) = 0;
    // The token begun at the last TokenStart has been read: its tag index and the element
    // created for it (null for an end tag and for the end of input). Not called when
    // reading the token failed. Called a second time, with kTagUnknown and its element,
    // for an end tag that closes no open element and is therefore read as text.
    virtual void TokenRead(int token, const HElement* element) = 0;

    // The file opened as `path` becomes the input of an INCLUDE.
    virtual void EnterFile(const std::string& path) = 0;
    // The included file `in` stops being the input: at its end, or while an error raised
    // inside it travels up (the stream is still open and positioned at the fault).
    virtual void LeaveFile(const HInput& in) = 0;
};

}  // namespace quorvel
