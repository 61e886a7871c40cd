#include "forms/HPostProcess.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "database/HOdbc.h"
#include "database/HSqlOperation.h"
#include "values/HContext.h"
#include "base/HExcept.h"
#include "elements/HElement.h"
#include "elements/HElementTree.h"
#include "external/HProgramCommand.h"
#include "template/HCharClass.h"
#include "template/HTagTable.h"
#include "values/HNameModifier.h"
#include "values/HValue.h"

namespace quorvel {

namespace {

// The form's named fields (INPUT and TEXTAREA) in the content of `element`, `levels`
// DBRESULTs deep at its level. A name written at several depths keeps the deepest.
void CollectFields(const HElement& element, int levels, HFormFields& fields) {
    if (!element.Tree() || element.ContentBegin() == 0)
        return;
    std::vector<size_t> results;  // the ends of the DBRESULTs around the piece
    element.Tree()->Visit(element.ContentBegin(), element.ContentEnd(), [&](const HElementTree::PieceView& p) {
        while (!results.empty() && p.index >= results.back())
            results.pop_back();
        if (!p.element)
            return;
        int tag = p.element->TagIndex();
        if (tag == kTagInput || tag == kTagTextArea) {
            if (const HValue* name = p.element->Attribute("NAME")) {
                const int level = levels + static_cast<int>(results.size());
                int& known = fields.emplace(name->GetText(), level).first->second;
                known = std::max(known, level);
            }
        } else if (tag == kTagDbResult) {
            results.push_back(p.end);
        }
    });
}

// Whether the row `modifier` came back filled: one of the fields repeated at its level was
// sent, not empty, under the name the page wrote for it in that row (shared fields make no
// row; a row of an entry form left blank is not one). If so, the row's fields the browser
// left out (unchecked check boxes) are defined empty for every row but the first, so that
// they never read another row's value.
bool RowCameBack(HContext& ctx, const HFormFields& fields, const std::string& modifier) {
    const int levels = ModifierLevels(modifier);
    bool back = false;
    for (const auto& f : fields) {
        const HValue* sent = f.second == levels ? ctx.symbols.Lookup(NameInRow(f.first, levels, modifier)) : nullptr;
        back = back || (sent && !sent->GetText().empty());
    }
    if (!back || IsFirstInstance(modifier))
        return back;
    for (const auto& f : fields) {
        std::string row = NameInRow(f.first, levels, modifier);
        if (f.second == levels && !ctx.symbols.Contains(row))
            ctx.symbols.Define(row, std::make_unique<HWordValue>(std::string()));
    }
    return true;
}

// A form without repeated rows runs once, when one of its named fields came back or when
// it has none.
bool SingleRowCameBack(const HContext& ctx, const HFormFields& fields) {
    bool back = fields.empty();
    for (const auto& f : fields)
        back = back || ctx.symbols.Contains(f.first);
    return back;
}

// Points the context at the form's fields while its rows run.
class RowFieldsInUse {
public:
    RowFieldsInUse(HContext& ctx, const HFormFields& fields) : ctx_(ctx) { ctx_.rowFields = &fields; }
    ~RowFieldsInUse() { ctx_.rowFields = nullptr; }
    RowFieldsInUse(const RowFieldsInUse&) = delete;
    RowFieldsInUse& operator=(const RowFieldsInUse&) = delete;

private:
    HContext& ctx_;
};

// The action runs for every row of the submission that came back; failures pass on
// unchanged.
void RunRows(HContext& ctx, const HElement& form, HSqlOperation& action, const std::string& name) {
    const HValue* maxValue = ctx.symbols.Lookup("_MAX_NAME_MODIFIER_");
    if (!maxValue)
        return;
    std::string maximum = maxValue->Evaluate(ctx, nullptr);
    CheckModifierBounds(maximum);
    // A form inside the rows of a DBRESULT writes its fields with that row's modifier too.
    HFormFields fields;
    CollectFields(form, ModifierLevels(ctx.nameModifier), fields);
    bool repeated = false;
    for (const auto& f : fields)
        repeated = repeated || f.second > 0;
    RowFieldsInUse inUse(ctx, fields);
    const HValue* param = form.Attribute("PARAM");
    std::vector<std::string> values;
    auto run = [&](const std::string& modifier) {
        if (param)
            EvaluateParameters(ctx, *param, values, action.ErrorUrlValue(), action.Trim(), modifier);
        ExecuteOperation(ctx, action, values, name, action.Trim());
        action.Require(ctx, OdbcCloseCursor(action.Statement()), kErrCloseStatement, action.Text());
    };
    if (!repeated) {
        if (SingleRowCameBack(ctx, fields))
            run(std::string());
        return;
    }
    std::string modifier;
    while (NextModifier(modifier, maximum))
        if (RowCameBack(ctx, fields, modifier))
            run(modifier);
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// `host:port` or `[v6 address]:port` without the port.
std::string_view HostWithoutPort(std::string_view host) {
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        return close == std::string_view::npos ? host : host.substr(0, close + 1);
    }
    return host.substr(0, host.find(':'));
}

// The host of an http(s) URL `rest` (what follows the scheme's colon), lower-cased: any
// slashes are skipped, as browsers do, and the authority ends at the next slash, `?` or
// `#`; user information before `@` and the port are dropped.
std::string UrlHost(std::string_view rest) {
    size_t start = rest.find_first_not_of('/');
    rest.remove_prefix(start == std::string_view::npos ? rest.size() : start);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    size_t at = rest.rfind('@');
    if (at != std::string_view::npos)
        rest.remove_prefix(at + 1);
    return Lower(HostWithoutPort(rest));
}

// Whether `host` is one of the blank- or comma-separated names of `list`, in any case.
bool ListsHost(const std::string& list, const std::string& host) {
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find_first_of(" \t,", start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start && Lower(list.substr(start, end - start)) == host)
            return true;
        start = end + 1;
    }
    return false;
}

// Whether the browser, sent to `target`, stays on this site (or goes to a host the
// configuration names).
bool LeadsToSite(HContext& ctx, std::string target) {
    // Browsers read a backslash as a slash and drop leading blanks.
    for (char& c : target)
        if (c == '\\')
            c = '/';
    target.erase(0, target.find_first_not_of(' '));
    size_t colon = target.find(':');
    bool scheme = colon != std::string::npos && colon > 0 && IsAsciiLetter(target[0]);
    for (size_t i = 1; scheme && i < colon; ++i)
        scheme = IsAsciiLetter(target[i]) || (target[i] >= '0' && target[i] <= '9') || target[i] == '+' ||
                 target[i] == '-' || target[i] == '.';
    if (!scheme)  // a path: from the site's root (but not `//host`) or relative
        return target.compare(0, 2, "//") != 0;
    std::string name = Lower(target.substr(0, colon));
    if (name != "http" && name != "https")
        return false;
    std::string host = UrlHost(std::string_view(target).substr(colon + 1));
    if (host.empty())
        return false;
    if (host == Lower(ctx.request->Text("SERVER_NAME")) ||
        host == Lower(HostWithoutPort(ctx.request->Text("HTTP_HOST"))))
        return true;
    const HValue* others = ctx.symbols.Lookup("_REDIRECT_HOSTS_");
    return others && ListsHost(others->GetText(), host);
}

}  // namespace

void CheckRedirectTarget(HContext& ctx, const std::string& target) {
    if (!LeadsToSite(ctx, target))
        throw HExcept(kErrSqlSyntax, target);
}

void IgnoreQueryFields(HContext& ctx, const HElement& form) {
    if (ctx.queryOnlyNames.empty())
        return;
    HFormFields fields;
    CollectFields(form, 0, fields);
    for (const std::string& name : ctx.queryOnlyNames) {
        // The name itself, then without its last group, and so on: `QTY___2___3`, `QTY___2`, `QTY`.
        for (size_t end = name.size();;) {
            if (fields.count(name.substr(0, end))) {
                ctx.symbols.Remove(name);
                break;
            }
            if (ModifierSuffixLength(std::string_view(name).substr(0, end)) == 0)
                break;
            end = name.rfind("___", end - 1);
        }
    }
}

void RunValidation(HContext& ctx, const HElement& form) {
    if (!form.HasAttribute("VALIDATION"))
        return;
    const HValue* clause = form.Attribute("VALIDATION");
    if (!clause || clause->Kind() != HValue::kParamList ||
        static_cast<const HParamList*>(clause)->Items().size() != 4)
        throw HExcept(kErrValidationSyntax);
    const auto& items = static_cast<const HParamList*>(clause)->Items();
    // The command line is split as the template wrote it, then its references evaluated.
    HCommand command = EvaluateCommand(ctx, items[0].get(), *items[1]);
    std::string commandLine = command.text;
    std::string expected = items[2]->Evaluate(ctx, nullptr);
    std::string failureUrl = items[3]->Evaluate(ctx, nullptr);

    // The answer may arrive in several writes: read until it is complete or the output
    // ends. The program is ended and reaped when `validator` goes.
    HProgram validator = StartCommand(std::move(command), ProgramLimits(ctx), *ctx.request);
    if (validator.ReadExactly(expected.size()) != expected)
        throw HExcept(kErrValidationFailed, commandLine, failureUrl);
}

void RunSqlAction(HContext& ctx, const HElement& form) {
    if (!form.HasAttribute("SQLACTION"))
        return;
    const HValue* actionName = form.Attribute("SQLACTION");
    std::string name = actionName ? actionName->GetText() : std::string();
    HValue* value = ctx.symbols.Lookup(name);
    if (!value || value->Kind() != HValue::kSqlOperation)
        throw HExcept(kErrSqlActionUndefined, name);
    HSqlOperation& action = static_cast<HSqlOperation&>(*value);

    // One transaction for all rows of the form, unless the driver offers none.
    unsigned short capability = 0;
    if (!OdbcSucceeded(OdbcGetTxnCapable(action.Hdbc(), capability)) || capability != 0)
        OdbcSetAutocommit(action.Hdbc(), false);
    try {
        RunRows(ctx, form, action, name);
        // A commit the database refuses (a deferred constraint, a lost connection) leaves
        // nothing written, so it must not be reported as success.
        action.Require(ctx, OdbcTransact(action.Henv(), action.Hdbc(), true), kErrSqlSyntax, name);
    } catch (...) {
        OdbcTransact(action.Henv(), action.Hdbc(), false);
        throw;
    }
}

}  // namespace quorvel
