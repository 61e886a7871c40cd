// Post-processing of a submitted form: what a FORM does in a post-process request once its
// content has been walked (and its fields checked).
//
// First the validation clause, VALIDATION=(program, command line, expected output, failure
// URL): the program is started without a shell and must write the expected text first on
// its standard output, else the browser goes to the failure URL. Then the SQL action named
// by SQLACTION runs once per submitted row, for every name modifier up to the submitted
// `_MAX_NAME_MODIFIER_`, with the form's PARAM values evaluated for that row, all inside
// one transaction on the action's connection: committed when every row succeeded, rolled
// back when anything failed, so that no row of the form stays half-written.
//
// Rows: the odometer of name modifiers runs every outer row up to the inner bound of the
// highest modifier, whatever the real number of inner rows was. A row runs only when one of
// the fields the form repeats at its level came back under the name the page wrote for it
// in that row (the plain name in the first row); fields outside the rows never make one.
// A form without repeated rows runs once when any of its named fields came back, a form
// without named fields once. In a row that runs, a reference to a field of the form reads
// that field's name in the row (its own levels of the modifier), anything else the plain
// variable; a field of the row the browser did not send (an unchecked check box) is empty,
// not the first row's value.
//
// In a POST request a form's fields are read from the body only: a value the query string
// gave one of them (in any row) is ignored. And the browser is sent on only within the
// site: the redirect target must be a path or an http(s) URL of the request's own host.
//
// Nothing here owns anything beyond the call; the action belongs to the symbol table.
#pragma once

#include <string>

namespace quorvel {

class HContext;
class HElement;

// Runs the form's validation clause, if it has one. Raises error 33 (VALIDATION not a list
// of four items), 32 (program not started, or ended without writing) and 34 (the output
// differs from the expected text; URL = the failure URL).
void RunValidation(HContext& ctx, const HElement& form);

// Runs the form's SQL action, if it has SQLACTION: once per submitted row, inside one
// transaction. Raises error 27 (no such action), 38 (`_MAX_NAME_MODIFIER_` beyond the bounds
// of CheckModifierBounds), the errors of parameter evaluation and execution, 5 (closing the
// cursor failed) and 1 (the commit was refused); after a failure nothing of the form's rows
// stays in the database (unless the driver offers no transactions).
void RunSqlAction(HContext& ctx, const HElement& form);

// Removes from the symbol table every name of HContext::queryOnlyNames that is one of the
// form's fields (INPUT and TEXTAREA names), plain or with row groups (`QTY___2`): those
// values came from the URL the form was posted to, not from the form.
void IgnoreQueryFields(HContext& ctx, const HElement& form);

// Raises error 1 (detail: `target`) unless a browser sent to `target` stays on the site:
// a path (starting with one `/`, not `//`, or relative) or an `http:`/`https:` URL whose
// host is SERVER_NAME, the host of HTTP_HOST, or one of the blank- or comma-separated
// hosts of `_REDIRECT_HOSTS_` (a setting of the configuration file). Case is ignored,
// backslashes count as slashes and leading blanks are skipped, as browsers read them;
// any other scheme (`javascript:`, `data:`, `mailto:`) is refused.
void CheckRedirectTarget(HContext& ctx, const std::string& target);

}  // namespace quorvel
