// HInputElement and HTextAreaElement: form fields named per repeated row, and the input
// constraints of text fields.
//
// Written inside the rows of a DBRESULT, a field's NAME gets the current name modifier
// appended (`QTY___3`), so that every row comes back as a variable of its own; the first
// row keeps the plain name. The fields also raise the context's `maxNameModifier` level by
// level (RaiseMaximum), which the enclosing FORM writes into its `_MAX_NAME_MODIFIER_`
// hidden field.
//
// An INPUT of type text may carry constraints, each a list of two items (setting, URL of
// the page shown when the check fails): MANDATORY=(TRUE,url), DATATYPE=(NUMBER|DATE|CHAR,
// url), LOW_VALUE=(number,url), HIGH_VALUE=(number,url). They are never written into the
// page. In a post-process request the element writes nothing and checks the submitted
// value of its field instead: the plain name for every constraint, and every submitted row
// of the field (`QTY___2`, `QTY___2___3`) for the type and range constraints. The first
// violation raises error 31 with the field's name and the constraint's URL.
//
// Neither element has fields of its own; attribute values are owned by HElement.
#pragma once

#include <string>
#include <string_view>

#include "elements/HElement.h"

namespace quorvel {

class HInputElement : public HElement {
public:
    HInputElement();
    // Page request: the tag with its row-specific name. Post-process request: the
    // constraint check, writing nothing.
    void Output(HContext& ctx) override;
    // Constraints are checked (error 30) and left out; NAME gets the row's modifier.
    void WriteAttributes(HContext& ctx) override;

    // Raises the first constraint violation of the submitted values (errors 16, 30, 31).
    void CheckConstraints(HContext& ctx) const;
};

class HTextAreaElement : public HElement {
public:
    HTextAreaElement();
    // NAME gets the row's modifier exactly as an INPUT's does; other attributes unchanged.
    void WriteAttributes(HContext& ctx) override;
};

// The number syntax of constraints: an optional leading blank run and sign, decimal
// digits, optionally a point and more digits, nothing else (`12`, `-3.25`, `7.`, `.5`, and
// the empty text, which is 0). The integer part saturates at the 32-bit limits. Returns
// false when `text` is not a number.
bool ParseConstraintNumber(std::string_view text, double& value);

// The date syntax of constraints: month (1..12), day (1..31), each written with one or two
// characters and followed by `/` or `-`, then a year of exactly two characters.
bool IsConstraintDate(std::string_view text);

// True when `name` is `field` followed by one or more name-modifier groups (`___` and
// digits), the name a field gets in a repeated row.
bool IsRowOfField(std::string_view name, std::string_view field);

}  // namespace quorvel
