// HFormElement: the FORM tag, and the post-processed form when it carries SQLACTION.
//
// Without SQLACTION a form is written like any element. With it, the page gets a form that
// submits back to this very program and template: ACTION is replaced by the URL of the
// current request, SQLACTION, VALIDATION and PARAM stay out of the page, and two hidden
// fields are written before the end tag: `_POST_PROCESS_` (the ACTION text, the page to
// show once the submission is processed) and `_MAX_NAME_MODIFIER_` (level by level, the
// highest row number the form wrote a field for, so that the post-processing knows how many
// rows came back). In a post-process request the form writes nothing; it checks its fields, runs its
// validation program and its SQL action (HPostProcess.h).
//
// No fields of its own; attribute values and children are owned by HElement.
#pragma once

#include <string>

#include "base/HRequest.h"
#include "elements/HElement.h"

namespace quorvel {

class HFormElement : public HElement {
public:
    HFormElement();
    // Page request: WriteForm. Post-process request: PostProcessForm.
    void Output(HContext& ctx) override;
    void WriteAttributes(HContext& ctx) override;

    void WriteForm(HContext& ctx);
    // Drops the values the query string gave its fields (IgnoreQueryFields), walks the
    // content (SQL actions are defined, fields checked), runs the validation clause, checks
    // the redirect target it leads to (CheckRedirectTarget), then runs the SQL action in
    // one transaction.
    void PostProcessForm(HContext& ctx);
};

// The URL of the current request as a form target: "http://" SERVER_NAME ":" SERVER_PORT
// SCRIPT_NAME PATH_INFO, then "?" QUERY_STRING when that is set. Backslashes in PATH_INFO
// become slashes, also in the request's variables. Bytes that would end an unquoted attribute
// value or start markup (blanks, controls, quotes, < > `) are percent-encoded, and so are
// % # ? inside the two path pieces, so that the server decodes them back to the same path.
std::string RewrittenFormTarget(HRequest& request = CgiRequest());

}  // namespace quorvel
