// Name modifiers: the `___N` suffixes that tell the fields of repeated rows apart.
//
// A modifier is empty or a sequence of groups, each `___` and a row number counted from 1,
// one group per repetition level (`___2___4`: fourth inner row of the second outer row).
// The first row at every level keeps the plain name.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace quorvel {

class HContext;
class HValue;

// True for the empty modifier and for one made only of `___1` groups.
bool IsFirstInstance(std::string_view modifier);

// The length of the name-modifier groups (`___` and digits, one or more groups) that end
// `name`, 0 when it ends in none. `QTY___2___3` gives 8, `QTY` and `QTY___` give 0.
size_t ModifierSuffixLength(std::string_view name);

// Bounds on the enumeration up to a maximum modifier. The maximum comes back from the
// browser in `_MAX_NAME_MODIFIER_`, so it is hostile input: a DBRESULT yields at most 100
// rows, repetition deeper than 32 levels does not occur in a real page, and no form
// submits more than 10000 rows.
constexpr int kMaxModifierLevels = 32;
constexpr long kMaxModifierRowsPerLevel = 100;
constexpr long kMaxModifierCount = 10000;

// Raises error 38, "Syntax error in query string specified in URL" (detail: the start of
// `maximum`, category 1), when `maximum` has more levels or rows than the bounds above,
// or would enumerate more modifiers than kMaxModifierCount. Levels and rows are read as
// NextModifier reads them.
void CheckModifierBounds(const std::string& maximum);

// Advances `current` to the next modifier up to `maximum`, odometer style with the
// innermost group turning fastest; returns false (and resets `current` to the first
// modifier) when the enumeration is finished. Start with an empty `current`.
// REQUIRES: `maximum` passed CheckModifierBounds (the recursion goes one call per level).
bool NextModifier(std::string& current, const std::string& maximum);

// Evaluates `value` for the row `modifier` of the form being post-processed (empty: outside
// any row): references read the variables RowVariable names.
std::string EvaluateWithModifier(HContext& ctx, const HValue& value, std::string modifier);

// The number of groups of `modifier` (`___2___3` has 2).
int ModifierLevels(std::string_view modifier);

// Raises `maximum` to `modifier` level by level: each group becomes the higher row number
// of the two, compared as numbers, and levels `maximum` lacks are taken from `modifier`
// (`___2___2` raised to `___1___3` gives `___2___3`). Both must be well formed.
void RaiseMaximum(std::string& maximum, std::string_view modifier);

// The named fields of a form, each with the number of DBRESULT levels it is written in
// (0 for a field outside the rows, shared by all of them).
using HFormFields = std::unordered_map<std::string, int>;

// The name the page wrote for a field repeated in `levels` row levels, in the row `row`:
// the field followed by the first `levels` groups of `row` (groups `row` lacks count as
// first rows), or the plain name when those groups are all first rows.
std::string NameInRow(const std::string& field, int levels, std::string_view row);

// The variable a reference to `name` reads in the row `row` of the form being
// post-processed (HContext::rowFields): for a field of the form, NameInRow; for anything
// else (a shared field, a configuration, request or built-in variable) `name` itself.
std::string RowVariable(const HContext& ctx, const std::string& name, const std::string& row);

}  // namespace quorvel
