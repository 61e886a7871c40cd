#include "database/HSqlOperation.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "values/HContext.h"
#include "base/HExcept.h"
#include "values/HNameModifier.h"
#include "values/HWriter.h"

namespace quorvel {

namespace {

constexpr long kNullData = -1;  // SQL_NULL_DATA in a length indicator

uint64_t columnsKeys = 0;  // keys given to operations' column names and buffers so far

bool SameNameIgnoringCase(std::string_view a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

// The statements as the debug comment shows them: the data in them escaped as page text
// (the author's SQL as it stands), and no `--` that could end the comment.
std::vector<std::string> ShownStatements(const HSqlOperation& op, std::vector<std::string> values,
                                         bool trim, const std::vector<std::string>& texts) {
    for (std::string& value : values)
        value = EscapeForHtml(value);
    HSqlTextValues textValues = op.TextValues();
    for (auto& value : textValues)
        value.second = EscapeForHtml(value.second);
    std::vector<std::string> shown;
    try {
        int index = 0;
        shown = BuildStatements(op.Statements(), values, index, trim, textValues,
                                op.BackslashEscapes());
    } catch (const HExcept&) {
        shown.clear();
    }
    if (shown.size() != texts.size()) {
        // Escaped values that rebuild differently (a NUL byte cut one short): all escaped.
        shown.clear();
        for (const std::string& text : texts)
            shown.push_back(EscapeForHtml(text));
    }
    for (std::string& text : shown)
        text = ForComment(text);
    return shown;
}

}  // namespace

HSqlOperation::HSqlOperation(std::string name, HOdbcStatement statement, HSqlAnalysis statements,
                             std::vector<std::string> columnNames, HOdbcLink connection,
                             const HValue* errorUrl, const HValue* noDataUrl,
                             bool trim, HSqlTextValues textValues)
    : HValue(kSqlOperation, std::move(name)),
      statement_(std::move(statement)),
      statements_(std::move(statements)),
      textValues_(std::move(textValues)),
      columnNames_(std::move(columnNames)),
      columnsKey_(++columnsKeys),
      connection_(connection),
      errorUrl_(errorUrl),
      noDataUrl_(noDataUrl),
      trim_(trim) {}

std::string HSqlOperation::Evaluate(HContext&, const std::string*) const { throw HExcept(kErrSqlOperationReference, text_); }

std::string HSqlOperation::GetText() const { throw HExcept(kErrSqlOperationReference, text_); }

const char* HSqlOperation::FindColumn(std::string_view name) const {
    HColumnHint hint;
    return FindColumn(name, hint);
}

const char* HSqlOperation::FindColumn(std::string_view name, HColumnHint& hint) const {
    if (hint.key == columnsKey_)
        return hint.text;
    const std::size_t bound = std::min(columnNames_.size(), columns_.size());
    for (std::size_t i = 0; i < bound; ++i) {
        if (SameNameIgnoringCase(name, columnNames_[i])) {
            const Column& c = columns_[i];
            hint = HColumnHint{columnsKey_, c.buffer ? c.buffer.get() : ""};
            return hint.text;
        }
    }
    return nullptr;
}

void HSqlOperation::AddColumnName(std::string name) {
    columnNames_.push_back(std::move(name));
    columnsKey_ = ++columnsKeys;
}

std::string HSqlOperation::ErrorUrl(HContext& ctx) const {
    return errorUrl_ ? errorUrl_->Evaluate(ctx, nullptr) : std::string();
}

void HSqlOperation::Fail(HContext& ctx, int code, const std::string& detail) const {
    // Read before anything else runs on the statement and clears them.
    std::string cause = OdbcDiagnostic(statement_.Get(), HOdbcHandleKind::kStatement);
    if (cause.empty())  // a call on the connection failed (a commit)
        cause = OdbcDiagnostic(Hdbc(), HOdbcHandleKind::kConnection);
    HExcept failed(code, detail, ErrorUrl(ctx));
    failed.cause = std::move(cause);
    failed.odbc = true;
    throw failed;
}

short HSqlOperation::BindColumn(int column, std::size_t width) {
    if (columns_.size() < static_cast<std::size_t>(column))
        columns_.resize(static_cast<std::size_t>(column));
    Column& c = columns_[static_cast<std::size_t>(column - 1)];
    if (!c.buffer || c.width < width) {
        c.buffer = std::make_unique<char[]>(width);
        c.width = width;
        columnsKey_ = ++columnsKeys;  // hints to the old buffer no longer hold
    }
    c.buffer[0] = '\0';
    c.length = 0;
    return OdbcBindCol(statement_.Get(), column, c.buffer.get(), static_cast<long>(c.width),
                       &c.length);
}

void HSqlOperation::SettleRow(int count) {
    // The end of the loop is taken once: a store through a char pointer could otherwise be
    // to the container's own bookkeeping, read again after every column.
    const auto end = columns_.begin() + static_cast<std::ptrdiff_t>(
                                            std::min(static_cast<std::size_t>(std::max(count, 0)), columns_.size()));
    for (auto c = columns_.begin(); c != end; ++c) {
        char* buffer = c->buffer.get();
        if (!buffer)
            continue;
        if (c->length == kNullData)
            buffer[0] = '\0';
        buffer[c->width - 1] = '\0';
    }
}

void HSqlOperation::ClearBuffers(int count) {
    for (int i = 0; i < count && static_cast<std::size_t>(i) < columns_.size(); ++i) {
        if (columns_[static_cast<std::size_t>(i)].buffer)
            columns_[static_cast<std::size_t>(i)].buffer[0] = '\0';
    }
}

void EvaluateParameters(HContext& ctx, const HValue& param, std::vector<std::string>& values,
                        const HValue* errorUrl, bool trim, std::string modifier) {
    if (IsFirstInstance(modifier))
        modifier.clear();
    auto store = [&](std::size_t i, const HValue& item) {
        if (values.size() <= i)
            values.resize(i + 1);
        try {
            values[i] = EvaluateWithModifier(ctx, item, modifier);
        } catch (const HExcept& e) {
            if (!trim)
                throw HExcept(e.code, e.detail,
                              errorUrl ? errorUrl->Evaluate(ctx, nullptr) : std::string());
            values[i].clear();  // not given: the conditions that use it are trimmed away
        }
    };
    if (param.Kind() == HValue::kParamList) {
        const auto& items = static_cast<const HParamList&>(param).Items();
        for (std::size_t i = 0; i < items.size(); ++i)
            store(i, *items[i]);
    } else {
        store(0, param);
    }
}

void ExecuteOperation(HContext& ctx, HSqlOperation& op, const std::vector<std::string>& values,
                      const std::string& name, bool trim) {
    try {
        int index = 0;
        const std::vector<std::string> texts = BuildStatements(op.Statements(), values, index, trim,
                                                                op.TextValues(),
                                                                op.BackslashEscapes());
        std::vector<std::string> shown;
        if (ctx.debug && ctx.page)
            shown = ShownStatements(op, values, trim, texts);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (!shown.empty()) {
                ctx.page->Write("<!-- ");
                ctx.page->Write(shown[i]);
                ctx.page->Write(" -->");
            }
            if (i > 0)
                op.Require(ctx, OdbcCloseCursor(op.Statement()), kErrCloseStatement, name);
            op.Require(ctx, OdbcPrepare(op.Statement(), texts[i]), kErrSqlSyntax, name);
            op.Require(ctx, OdbcExecute(op.Statement()), kErrSqlSyntax, name);
        }
    } catch (const HExcept& e) {
        throw HExcept::WithDetailAndUrl(e, name, op.ErrorUrl(ctx));
    }
}

}  // namespace quorvel
