#include "external/HProgramCommand.h"

#include <cstdlib>

#include "values/HContext.h"
#include "base/HExcept.h"
#include "values/HValue.h"

namespace quorvel {

namespace {

// Splits the template's own text of a command line, continuing the argument in progress.
class Splitter {
public:
    explicit Splitter(HCommand& command) : command_(command) {}

    void Text(const std::string& text) {
        command_.text += text;
        for (char c : text) {
            if (c == '"') {
                quoted_ = !quoted_;
                inWord_ = true;
            } else if (!quoted_ && (c == ' ' || c == '\t')) {
                End();
            } else {
                current_ += c;
                inWord_ = true;
            }
        }
    }

    // A value: part of the argument in progress, whatever it holds.
    void Value(const std::string& value) {
        command_.text += value;
        current_ += value;
        inWord_ = true;
        if (command_.text.size() > HQuotedValue::kMaxQuotedText)
            throw HExcept(kErrUndefinedVariable, "COMMAND");
    }

    void End() {
        if (inWord_)
            command_.args.push_back(std::move(current_));
        current_.clear();
        inWord_ = false;
    }

private:
    HCommand& command_;
    std::string current_;
    bool inWord_ = false, quoted_ = false;
};

bool IsAuthorText(const HValue& value) {
    // Words, `@@` and the literal pieces of a quoted string: text the template wrote.
    return value.Kind() == HValue::kWord || value.Kind() == HValue::kLiteral;
}

std::string SettingText(HContext& ctx, const char* name) {
    const HValue* v = ctx.symbols.Lookup(name);
    return v ? v->GetText() : std::string();
}

[[noreturn]] void BadSetting(const char* name, const std::string& text) {
    throw HExcept(kErrExternalFailed, std::string(name) + "=" + text);
}

}  // namespace

HCommand EvaluateCommand(HContext& ctx, const HValue* path, const HValue& commandLine) {
    HCommand command;
    if (path)
        command.programPath = path->Evaluate(ctx, nullptr);
    Splitter split(command);
    if (commandLine.Kind() == HValue::kQuoted) {
        for (const HValuePtr& piece : static_cast<const HQuotedValue&>(commandLine).Pieces()) {
            if (IsAuthorText(*piece))
                split.Text(piece->Evaluate(ctx, nullptr));
            else
                split.Value(piece->Evaluate(ctx, nullptr));
        }
    } else if (IsAuthorText(commandLine)) {
        split.Text(commandLine.Evaluate(ctx, nullptr));
    } else {
        split.Value(commandLine.Evaluate(ctx, nullptr));
    }
    split.End();
    return command;
}

HProgramLimits ProgramLimits(HContext& ctx) {
    HProgramLimits limits;
    const char* const kTimeout = "_PROGRAM_TIMEOUT_";
    const char* const kMaxOutput = "_PROGRAM_MAX_OUTPUT_";
    if (ctx.symbols.Lookup(kTimeout)) {
        std::string text = SettingText(ctx, kTimeout);
        char* end = nullptr;
        double seconds = std::strtod(text.c_str(), &end);
        if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
            *end != '\0' || !(seconds > 0))
            BadSetting(kTimeout, text);
        limits.seconds = seconds;
    }
    if (ctx.symbols.Lookup(kMaxOutput)) {
        std::string text = SettingText(ctx, kMaxOutput);
        std::size_t bytes = 0;
        for (char c : text) {
            if (c < '0' || c > '9')
                BadSetting(kMaxOutput, text);
            bytes = bytes > (std::size_t(-1) - 9) / 10 ? std::size_t(-1) : bytes * 10 + (c - '0');
        }
        if (bytes == 0)
            BadSetting(kMaxOutput, text);
        limits.maxOutput = bytes;
    }
    return limits;
}

}  // namespace quorvel
