// Name modifiers: the `___N` suffixes that tell the fields of repeated rows apart.
//
// A modifier is empty or a sequence of groups, each `___` and a row number counted from 1,
// one group per repetition level (`___2___4`: fourth inner row of the second outer row).
// The first row at every level keeps the plain name.
#pragma once

#include <string>
#include <string_view>

class HContext;
class HValue;

// True for the empty modifier and for one made only of `___1` groups.
bool IsFirstInstance(std::string_view modifier);

// Advances `current` to the next modifier up to `maximum`, odometer style with the
// innermost group turning fastest; returns false (and resets `current` to the first
// modifier) when the enumeration is finished. Start with an empty `current`.
bool NextModifier(std::string& current, const std::string& maximum);

// Evaluates `value` with `modifier`; when that fails and the modifier has a `___` group,
// evaluates once more with its last group cut off.
std::string EvaluateWithModifier(HContext& ctx, const HValue& value, std::string modifier);
