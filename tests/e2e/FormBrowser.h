// FormBrowser: does with a page written by the gateway what a browser does with its forms.
//
// It reads the FORM elements of a page (their ACTION and METHOD, every INPUT and TEXTAREA
// with its NAME, TYPE and VALUE), fills in values chosen by the test, and builds the
// submission: each named field with its value, URL-encoded, empty fields sent empty, the
// hidden fields included. A GET submission replaces the target's query string with the
// fields; a POST submission keeps the target's query string and sends the fields as an
// application/x-www-form-urlencoded body.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "e2e/E2eHarness.h"

struct FormField {
    std::string name;
    std::string type;   // upper case; "TEXT" when absent, "TEXTAREA" for a text area
    std::string value;  // VALUE attribute ("on" for a check box without one), or the text
    bool checked = false;  // CHECKED attribute of a check box or radio button
};

struct PageForm {
    std::map<std::string, std::string> attributes;  // the FORM tag's, names upper case
    std::vector<FormField> fields;

    const FormField* Field(const std::string& name) const;
    std::vector<std::string> Names() const;
};

// Every FORM of `page`, in document order.
std::vector<PageForm> ReadForms(const std::string& page);

// The submission of `form` with `values` replacing the values of the fields they name
// (other fields keep what the page gave them); values for names the form lacks are sent
// after the fields, as a tampered submission would. A check box or radio button is sent
// only when checked: by the page, or by a non-empty value in `values` (an empty value
// unchecks it); buttons are not sent. `method` is "GET" or "POST".
struct Submission {
    std::map<std::string, std::string> env;  // CGI variables
    std::string body;
};
Submission Submit(const PageForm& form, const std::map<std::string, std::string>& values,
                  const std::string& method);

// Runs the submission against the gateway in `site`, with `env` added to its CGI variables.
GatewayRun SubmitTo(const E2eSite& site, const PageForm& form,
                    const std::map<std::string, std::string>& values, const std::string& method,
                    const std::map<std::string, std::string>& env = {});

// The Location of a redirect response, or "" when the response is no redirect.
std::string RedirectTarget(const GatewayRun& run);

// Percent-encoding of a form value as browsers send it (blank as +).
std::string FormEncode(const std::string& text);
