#include "forms/HPostProcess.h"

#include <string>
#include <utility>
#include <vector>

#include "database/HOdbc.h"
#include "database/HSqlOperation.h"
#include "driver/HContext.h"
#include "driver/HExcept.h"
#include "elements/HElement.h"
#include "external/HProgramCommand.h"
#include "template/HTagTable.h"
#include "values/HNameModifier.h"
#include "values/HValue.h"

namespace {

// A named field of the form and the number of DBRESULT rows it repeats in.
struct RowField {
    std::string name;
    int depth;
};

void CollectFields(const HElement& element, int depth, std::vector<RowField>& fields) {
    for (const auto& child : element.Children()) {
        int tag = child->TagIndex();
        if (tag == kTagInput || tag == kTagTextArea) {
            if (const HValue* name = child->Attribute("NAME"))
                fields.push_back({name->GetText(), depth});
        }
        CollectFields(*child, tag == kTagDbResult ? depth + 1 : depth, fields);
    }
}

int Levels(const std::string& modifier) {
    int levels = 0;
    for (size_t p = modifier.find("___"); p != std::string::npos; p = modifier.find("___", p + 3))
        ++levels;
    return levels;
}

// Whether any field of the form came back under `modifier` (a row that existed), and if so,
// defines the fields of that row the browser left out as empty.
bool PrepareRow(HContext& ctx, const std::vector<RowField>& fields, const std::string& modifier) {
    if (IsFirstInstance(modifier))
        return true;
    bool submitted = false;
    for (const auto& f : fields)
        submitted = submitted || ctx.symbols.Contains(f.name + modifier);
    if (!submitted)
        return false;
    int levels = Levels(modifier);
    for (const auto& f : fields)
        if (f.depth == levels && !ctx.symbols.Contains(f.name + modifier))
            ctx.symbols.Define(f.name + modifier, std::make_unique<HWordValue>(std::string()));
    return true;
}

// The action runs for every row of the submission; failures pass on unchanged.
void RunRows(HContext& ctx, const HElement& form, HSqlOperation& action, const std::string& name) {
    const HValue* maxValue = ctx.symbols.Lookup("_MAX_NAME_MODIFIER_");
    if (!maxValue)
        return;
    std::string maximum = maxValue->Evaluate(ctx, nullptr);
    CheckModifierBounds(maximum);
    std::vector<RowField> fields;
    CollectFields(form, 0, fields);
    const HValue* param = form.Attribute("PARAM");
    std::vector<std::string> values;
    std::string modifier;
    while (NextModifier(modifier, maximum)) {
        if (!PrepareRow(ctx, fields, modifier))
            continue;
        if (param)
            EvaluateParameters(ctx, *param, values, action.ErrorUrlValue(), action.Trim(), modifier);
        ExecuteOperation(ctx, action, values, name, action.Trim());
        if (!OdbcChecked(ctx, OdbcCloseCursor(action.Statement())))
            throw HExcept(5, action.Text(), action.ErrorUrl(ctx), 1);
    }
}

}  // namespace

void RunValidation(HContext& ctx, const HElement& form) {
    if (!form.HasAttribute("VALIDATION"))
        return;
    const HValue* clause = form.Attribute("VALIDATION");
    if (!clause || clause->Kind() != HValue::kParamList ||
        static_cast<const HParamList*>(clause)->Items().size() != 4)
        throw HExcept(33);
    const auto& items = static_cast<const HParamList*>(clause)->Items();
    // The command line is split as the template wrote it, then its references evaluated.
    HCommand command = EvaluateCommand(ctx, items[0].get(), *items[1]);
    std::string commandLine = command.text;
    std::string expected = items[2]->Evaluate(ctx, nullptr);
    std::string failureUrl = items[3]->Evaluate(ctx, nullptr);

    // The answer may arrive in several writes: read until it is complete or the output
    // ends. The program is ended and reaped when `validator` goes.
    HProgram validator = StartCommand(std::move(command), ProgramLimits(ctx));
    if (validator.ReadExactly(expected.size()) != expected)
        throw HExcept(34, commandLine, failureUrl, 1);
}

void RunSqlAction(HContext& ctx, const HElement& form) {
    if (!form.HasAttribute("SQLACTION"))
        return;
    const HValue* actionName = form.Attribute("SQLACTION");
    std::string name = actionName ? actionName->GetText() : std::string();
    HValue* value = ctx.symbols.Lookup(name);
    if (!value || value->Kind() != HValue::kSqlOperation)
        throw HExcept(27, name);
    HSqlOperation& action = static_cast<HSqlOperation&>(*value);

    // One transaction for all rows of the form, unless the driver offers none.
    unsigned short capability = 0;
    if (!OdbcChecked(ctx, OdbcGetTxnCapable(action.Hdbc(), capability)) || capability != 0)
        ctx.lastRetcode = OdbcSetAutocommitOff(action.Hdbc());
    try {
        RunRows(ctx, form, action, name);
        // A commit the database refuses (a deferred constraint, a lost connection) leaves
        // nothing written, so it must not be reported as success.
        if (!OdbcChecked(ctx, OdbcTransact(action.Henv(), action.Hdbc(), true)))
            throw HExcept(1, name, action.ErrorUrl(ctx), 1);
    } catch (...) {
        OdbcTransact(action.Henv(), action.Hdbc(), false);
        throw;
    }
}
