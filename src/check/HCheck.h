// The template checker, `quorvel --check FILE...`: finds the faults of templates at the
// site builder's desk instead of in front of a visitor.
//
// Each template is read as a request reads it: the configuration file "quorvel.cfg" of the
// current directory, then the template by the request's reader into an element tree that
// keeps its tokens, with INCLUDE files found as a request finds them (as named, then under
// `_INCLUDE_PATH_`). Nothing is written, evaluated or run: no SQL, no program, no page,
// no statistics log. The tree's pieces, as nodes with their places, are then walked by the
// rules of HCheckRules.
//
// Every finding is one line in the format compilers use, "FILE:LINE:COLUMN: error: MESSAGE"
// or "...: warning: ...", where FILE is the file in which the fault stands (the included
// file for a fault inside it). A file given on the command line that another given file
// includes is checked as part of that file only, so a whole site can be checked with one
// glob. Identical lines are printed once.
#pragma once

#include <string>
#include <vector>

namespace quorvel {

// Checks `files` and appends the report to `out`. Returns the exit status: 0 when no
// error was found, 1 when one was, 2 when a file could not be read. With `summary`, one
// line is stored there: "N files checked: E errors, W warnings" (included files count).
int CheckTemplates(const std::vector<std::string>& files, std::string& out,
                   std::string* summary = nullptr);

// The command: `args` are the arguments after `--check`. The report goes to standard
// output; the summary line, or a usage message, to standard error.
int RunCheck(int count, char** args);

}  // namespace quorvel
