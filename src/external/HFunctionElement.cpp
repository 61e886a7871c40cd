#include "external/HFunctionElement.h"

#include "values/HContext.h"
#include "elements/HElementTree.h"
#include "base/HExcept.h"
#include "external/HProgramCommand.h"
#include "template/HTagTable.h"
#include "values/HWriter.h"

#include <optional>
#include <strings.h>

namespace quorvel {

HFunctionElement::HFunctionElement() : HElement(kTagFunction) {}

void HFunctionElement::Output(HContext& ctx) {
    bool forPostProcess = false;
    if (HasAttribute("PROCESS")) {
        const HValue* process = Attribute("PROCESS");
        std::string when = process ? process->GetText() : std::string();
        forPostProcess = strcasecmp(when.c_str(), "PRE") != 0;
    }
    if (forPostProcess != ctx.postProcess)
        return;

    // A malformed bound in the configuration is an error of its own, never hidden by DEFAULT.
    HProgramLimits limits = ProgramLimits(ctx);
    std::optional<std::string> fallback;
    try {
        if (HasAttribute("DEFAULT")) {
            const HValue* value = Attribute("DEFAULT");
            fallback = value ? value->Evaluate(ctx, nullptr) : std::string();
        }
        const HValue* command = Attribute("COMMAND");
        if (!command)
            throw HExcept(kErrNoCommand);
        HProgram program = StartCommand(EvaluateCommand(ctx, Attribute("PATH"), *command), limits, *ctx.request);
        program.ReadUntilTerminator([&ctx](std::string_view chunk) { WriteText(ctx, chunk); });
    } catch (const HExcept& e) {
        if (!fallback)
            throw;
        // The page shows the default; the operator still learns what failed.
        HExcept logged(e);
        if (ctx.tree)
            logged.where = ctx.tree->Where(this);
        ctx.request->LogError(ErrorLogLine(logged) + "; its DEFAULT was written instead");
        WriteText(ctx, *fallback);
    }
}

}  // namespace quorvel
