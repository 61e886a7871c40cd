#include "database/HDbResultElement.h"

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "database/HOdbc.h"
#include "database/HSqlOperation.h"
#include "values/HContext.h"
#include "base/HExcept.h"
#include "template/HTagTable.h"

namespace quorvel {

namespace {

// MAXROWS: a whole base-10 number from 1 to kMaxRows (leading blanks and a sign allowed).
int RowBound(const HElement& element) {
    if (!element.HasAttribute("MAXROWS"))
        return HDbResultElement::kMaxRows;
    const HValue* value = element.Attribute("MAXROWS");
    const std::string text = value ? value->GetText() : std::string();
    errno = 0;
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || end != text.c_str() + text.size() || n < 1 ||
        n > HDbResultElement::kMaxRows)
        throw HExcept(kErrMaxRows, text);
    return static_cast<int>(n);
}

// Keeps the name modifier of the rows being visited, and restores the outer one.
class RowLevel {
public:
    explicit RowLevel(HContext& ctx) : ctx_(ctx), saved_(ctx.nameModifier) {}
    ~RowLevel() { ctx_.nameModifier = saved_; }
    RowLevel(const RowLevel&) = delete;
    RowLevel& operator=(const RowLevel&) = delete;

    void SetRow(int row) {
        char suffix[16] = "___";
        const char* end = std::to_chars(suffix + 3, suffix + sizeof suffix, row).ptr;
        ctx_.nameModifier.assign(saved_).append(suffix, static_cast<std::size_t>(end - suffix));
    }

private:
    HContext& ctx_;
    std::string saved_;
};

// Keeps the query in scope and the name modifier for as long as its rows are written.
class OpenResult : public RowLevel {
public:
    OpenResult(HContext& ctx, const HSqlOperation& op) : RowLevel(ctx), ctx_(ctx) { ctx_.scopes.push_back(&op); }
    ~OpenResult() { ctx_.scopes.pop_back(); }

private:
    HContext& ctx_;
};

}  // namespace

HDbResultElement::HDbResultElement() : HElement(kTagDbResult) {}

void HDbResultElement::Output(HContext& ctx) {
    if (ctx.postProcess) {
        // Visited once, as a first row: the fields inside learn how many row levels they
        // are in, which decides the names their rows are checked and read under.
        RowLevel level(ctx);
        level.SetRow(1);
        HElement::Output(ctx);
        return;
    }
    if (!HasAttribute("QUERY"))
        throw HExcept(kErrQueryMissing, "At DBRESULT tag");
    const HValue* queryValue = Attribute("QUERY");
    const std::string queryName = queryValue ? queryValue->GetText() : std::string();
    HValue* found = ctx.symbols.Lookup(queryName);
    if (!found || found->Kind() != HValue::kSqlOperation)
        throw HExcept(kErrQueryUndefined, "At DBRESULT tag");
    // The operation stays alive even if the body redefines its name.
    HSqlOperation& op = static_cast<HSqlOperation&>(*found);
    const std::string& name = op.Text();

    std::vector<std::string> values;
    if (const HValue* param = Attribute("PARAM"))
        EvaluateParameters(ctx, *param, values, op.ErrorUrlValue(), op.Trim(), std::string());

    OpenResult open(ctx, op);
    const int bound = RowBound(*this);
    const HOdbcHandle stmt = op.Statement();
    OdbcSetMaxRows(stmt, static_cast<unsigned long>(bound));
    ExecuteOperation(ctx, op, values, queryName, op.Trim());

    short resultColumns = 0;
    OdbcNumResultCols(stmt, resultColumns);
    int n = resultColumns;
    const bool namesFromResult = op.ColumnCount() == 0;
    if (!namesFromResult) {
        if (op.ColumnCount() > n)
            throw HExcept(kErrTooManyInto, name, op.ErrorUrl(ctx));
        n = op.ColumnCount();
    }
    const std::size_t width = static_cast<std::size_t>(std::max(ctx.maxColumnWidth, 1));
    for (int i = 1; i <= n; ++i) {
        HOdbcColumn column;
        OdbcDescribeCol(stmt, i, column);
        if (namesFromResult) {
            std::size_t length = column.nameLength < 0 ? 0 : static_cast<std::size_t>(column.nameLength);
            op.AddColumnName(std::string(column.name, std::min(length, std::strlen(column.name))));
        }
        // Every column gets the configured width, whatever precision the driver reports:
        // drivers report too little for much text (PostgreSQL: 255 for json and varchar
        // without a length, 5 for arrays, 0 for bytea; SQLite does not hold VARCHAR(n)
        // values to n), and a value is cut only where the configuration says.
        op.Require(ctx, op.BindColumn(i, width), kErrBindOutput, name);
    }

    // The driver is asked for at most `bound` rows; rows beyond it are never fetched here
    // even when a driver ignores the request.
    int rows = 0;
    while (rows < bound) {
        const short rc = OdbcFetch(stmt);
        if (rc == kOdbcNoDataFound)
            break;
        op.Require(ctx, rc, kErrFetch, name);
        op.SettleRow(n);
        open.SetRow(++rows);
        OutputChildren(ctx);
    }
    // Each fetch wrote every bound column (SettleRow empties the NULL ones): the last
    // row's values go once the rows are done.
    op.ClearBuffers(n);

    if (rows == 0 && op.NoDataUrlValue()) {
        if (!op.NoDataUrlValue()->Evaluate(ctx, nullptr).empty())
            throw HExcept(kErrNoData, name, op.NoDataUrlValue()->Evaluate(ctx, nullptr));
    }
    op.Require(ctx, OdbcCloseCursor(stmt), kErrCloseStatement, name);
}

}  // namespace quorvel
