#include "forms/HPostProcess.h"

#include <string>

#include "driver/HContext.h"
#include "driver/HExcept.h"
#include "elements/HElement.h"
#include "external/HProgram.h"
#include "values/HValue.h"

void RunValidation(HContext& ctx, const HElement& form) {
    if (!form.HasAttribute("VALIDATION"))
        return;
    const HValue* clause = form.Attribute("VALIDATION");
    if (!clause || clause->Kind() != HValue::kParamList ||
        static_cast<const HParamList*>(clause)->Items().size() != 4)
        throw HExcept(33);
    const auto& items = static_cast<const HParamList*>(clause)->Items();
    std::string program = items[0]->Evaluate(ctx, nullptr);
    std::string commandLine = items[1]->Evaluate(ctx, nullptr);
    std::string expected = items[2]->Evaluate(ctx, nullptr);
    std::string failureUrl = items[3]->Evaluate(ctx, nullptr);

    // The answer may arrive in several writes: read until it is complete or the output
    // ends. The program is ended and reaped when `validator` goes.
    HProgram validator = RunProgram(program, commandLine);
    if (validator.ReadExactly(expected.size()) != expected)
        throw HExcept(34, commandLine, failureUrl, 1);
}
