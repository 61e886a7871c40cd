// The fuzz checks: one function per reader of outside input. Each takes raw bytes, runs
// them through the real code and checks what must hold whatever the bytes are.
//
// The same functions serve two callers: the libFuzzer targets built from FuzzMain.cpp
// (clang, sanitizers, coverage) and the replay test of the normal build, which feeds them
// every committed seed and every input a fuzzer once found to fail. A reported failure
// (HExcept) is an ordinary outcome; a broken invariant raises FuzzViolation, which no
// check catches, so the fuzzer sees a crash and the replay test a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

class FuzzViolation : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Template reading: scanner, attribute lists, values and the element tree from raw bytes,
// then the page written with a few variables defined, once as a page and once in
// post-process mode. Then a FUNCTION command line: the input's first line is a request
// value, the rest the command line as written; the program must receive exactly the
// arguments the template wrote, each reference's value inside its own argument. No program
// is ever run: a recording starter stands in for the real one.
void FuzzTemplate(const uint8_t* data, size_t size);

// The configuration file: read from a file holding the bytes, then every variable
// evaluated. Every failure must be error 35.
void FuzzConfiguration(const uint8_t* data, size_t size);

// Query-string and body decoding and PATH_INFO decoding, compared with an independent
// decoder written from the rules; no name of the form `_X_` (row groups aside) other than
// the two form fields is ever defined from the request.
void FuzzQuery(const uint8_t* data, size_t size);

// Name-modifier enumeration up to a hostile maximum: the bound check decides whether the
// maximum is enumerated; an accepted one must be enumerated in odometer order, in the
// number of steps its groups promise.
void FuzzModifier(const uint8_t* data, size_t size);

// SQL text analysis and rebuilding with hostile parameter values: values never change the
// quoting of the statement, and stand outside literals only as numbers or identifiers.
void FuzzSqlText(const uint8_t* data, size_t size);

// The FastCGI reader of persistent mode, the bytes sent on one connection by a peer that
// reads every answer and then ends: requests within the bounds, their parameters and body
// those the records encode (decoded independently), no wait on the ended peer, and output
// in whole records under the request's id, exactly what was sent.
void FuzzFastCgi(const uint8_t* data, size_t size);
