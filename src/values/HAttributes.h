// The attribute-list reader: `NAME`, `NAME=value` pairs up to the `>` that closes a tag.
// The configuration file is read with it too, as one long list without a closing `>`.
#pragma once

#include <string>

#include "values/HValue.h"

namespace quorvel {

class HInput;

// Reads one attribute. Returns true with the upper-cased name and the parsed value (null
// for an attribute without `=`), or false at the closing `>` (consumed) or the end of
// input. Raises error 12 (a `<`, `"`, `@` or `(` where a name belongs), error 11 (`=` at
// the end of input) and the value parser's errors.
bool ReadAttribute(HInput& in, std::string& name, HValuePtr& value);

}  // namespace quorvel
