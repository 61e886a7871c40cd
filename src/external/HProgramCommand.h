// The command line of FUNCTION and of a form's VALIDATION, as the template wrote it.
//
// The command line is split into arguments before any reference in it is evaluated: the
// template's own text splits at blanks and tabs, and a pair of double quotes in it groups a
// stretch with blanks into one argument (the quotes are removed). Each reference is then
// evaluated inside the argument it stands in, so a value never adds, removes or splits an
// argument, whatever quotes or blanks it holds: with the value `ok" --evil "x`, both `@V` and
// `"@V"` give one argument holding exactly that value, and an empty value still gives its
// (empty) argument. A command line that is one reference is one argument.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "external/HProgram.h"

namespace quorvel {

class HContext;
class HValue;

struct HCommand {
    std::string programPath;        // evaluated as one value; empty: search args[0] on PATH
    std::vector<std::string> args;  // the argument vector
    std::string text;               // the evaluated command line as one text, for error details
};

// Evaluates `path` (may be null) and splits and evaluates `commandLine`. Raises the
// evaluation's errors (9, 13, ...).
HCommand EvaluateCommand(HContext& ctx, const HValue* path, const HValue& commandLine);

// The bounds set in the configuration: `_PROGRAM_TIMEOUT_` (seconds, a positive number,
// default 30) and `_PROGRAM_MAX_OUTPUT_` (bytes, a positive whole number, default 16 MiB).
// A malformed setting is error 32 naming it.
HProgramLimits ProgramLimits(HContext& ctx);

// Starts the program of `command` within `limits`, for `request`.
inline HProgram StartCommand(HCommand command, HProgramLimits limits, HRequest& request) {
    return HProgram(command.programPath, std::move(command.args), std::move(command.text), limits, request);
}

}  // namespace quorvel
