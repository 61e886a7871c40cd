// ParseValue: the one reader of attribute values and of at-sign expressions in text.
//
// Reads one value from a stream (template, included file or configuration file) with one
// byte of push-back and builds its value tree; nothing is evaluated. The returned object
// belongs to the caller. On return the byte that ended the value is back in the stream.
#pragma once

#include "values/HValue.h"

namespace quorvel {

class HInput;

// Nesting deeper than this (lists inside lists, calls inside quoted strings ...) is
// refused with error 28 instead of exhausting the stack.
constexpr int kMaxValueNesting = 200;

// Reads one value into `out` and returns its kind code (HValue::Kind), or 0 with `out`
// null at the end of input. Raises error 11 (end of input inside a quoted string) and 28
// (malformed list).
int ParseValue(HInput& in, HValuePtr& out);

}  // namespace quorvel
