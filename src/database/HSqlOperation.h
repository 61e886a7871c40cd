// HSqlOperation: a named SQL query or action, as an SQL element defines it; and the two
// operations that run one (EvaluateParameters, ExecuteOperation).
//
// The operation is a value of kind 5 held by the symbol table, which owns it. It owns its
// ODBC statement handle (allocated on the connection chosen for it and reused by every run),
// the analysis of its SQL text, and the result columns of its latest run: names, text
// buffers and length indicators. Buffers are allocated once per column and reused by every
// row and every later run. While a DBRESULT element repeats its rows, the operation is one of
// the context's open result sets: references find the current row's columns through it.
// It points at the ERROR_URL and NO_DATA_FOUND_URL values of its element without owning
// them; they are evaluated only when an error needs them. Its connection is only
// recorded: the process's HConnections owns it.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "database/HConnections.h"
#include "database/HSqlText.h"
#include "base/HResultSet.h"
#include "values/HValue.h"

namespace quorvel {

class HSqlOperation : public HValue, public HResultSet {
public:
    // `columnNames` are the INTO names (empty without INTO).
    // `textValues`: what the references to data in the SQL text gave, at their markers.
    HSqlOperation(std::string name, HOdbcStatement statement, HSqlAnalysis statements,
                  std::vector<std::string> columnNames, HOdbcLink connection,
                  const HValue* errorUrl, const HValue* noDataUrl, bool trim,
                  HSqlTextValues textValues = {});

    // An operation is not a plain value: both raise error 14 with the operation name.
    std::string Evaluate(HContext& ctx, const std::string* modifier) const override;
    std::string GetText() const override;

    const char* FindColumn(std::string_view name) const override;
    const char* FindColumn(std::string_view name, HColumnHint& hint) const override;

    HOdbcHandle Statement() const { return statement_.Get(); }
    const HSqlAnalysis& Statements() const { return statements_; }
    const HSqlTextValues& TextValues() const { return textValues_; }
    HOdbcHandle Henv() const { return connection_.henv; }
    HOdbcHandle Hdbc() const { return connection_.hdbc; }
    bool BackslashEscapes() const { return connection_.backslashEscapes; }
    const HValue* ErrorUrlValue() const { return errorUrl_; }
    const HValue* NoDataUrlValue() const { return noDataUrl_; }
    bool Trim() const { return trim_; }

    // The ERROR_URL evaluated now with no name modifier, or the empty text without one.
    std::string ErrorUrl(HContext& ctx) const;
    // The one place where a failed ODBC call becomes an error: unless `rc` is a success,
    // raises `code` with `detail` and the ERROR_URL.
    void Require(HContext& ctx, short rc, int code, const std::string& detail) const {
        if (!OdbcSucceeded(rc))
            Fail(ctx, code, detail);
    }
    [[noreturn]] void Fail(HContext& ctx, int code, const std::string& detail) const;

    // Result columns. ColumnCount is the number of INTO names until a run without them
    // takes the result set's names (AdoptColumnCount / AddColumnName).
    int ColumnCount() const { return static_cast<int>(columnNames_.size()); }
    void AddColumnName(std::string name);
    // Binds column `column` (from 1) as text of `width` bytes into its buffer, which is
    // allocated on first use (or when a wider one is needed) and emptied.
    short BindColumn(int column, std::size_t width);
    // After a fetch: NULL columns read as empty, and every text ends inside its buffer.
    void SettleRow(int columns);
    // Empties the first `columns` buffers, so that a column a driver leaves untouched on
    // the next fetch reads as empty.
    void ClearBuffers(int columns);

private:
    struct Column {
        std::unique_ptr<char[]> buffer;
        std::size_t width = 0;
        long length = 0;
    };

    HOdbcStatement statement_;
    HSqlAnalysis statements_;
    HSqlTextValues textValues_;
    std::vector<std::string> columnNames_;
    uint64_t columnsKey_;  // of these column names and buffers in this operation, for HColumnHint
    // A deque: the driver keeps the address of every bound column's length, so columns
    // added for a wider result must not move the ones bound before.
    std::deque<Column> columns_;
    HOdbcLink connection_;
    const HValue* errorUrl_;
    const HValue* noDataUrl_;
    bool trim_;
};

// Evaluates a PARAM value (a list, item by item, or one value) into `values`, index by
// index, with the name modifier (a first-row modifier counts as none). An item that fails
// to evaluate gives the empty text when `trim` is set; otherwise its error is raised again
// with the evaluated `errorUrl`.
void EvaluateParameters(HContext& ctx, const HValue& param, std::vector<std::string>& values,
                        const HValue* errorUrl, bool trim, std::string modifier);

// Builds the operation's statements with `values` and prepares and executes each one on its
// statement handle, closing the previous cursor between statements; the result of the last
// statement stays open. With debugging on, each text is written to the page in an HTML
// comment first. Every error is raised with `name` (as the caller wrote it) as detail and
// the operation's evaluated ERROR_URL.
void ExecuteOperation(HContext& ctx, HSqlOperation& op, const std::vector<std::string>& values,
                      const std::string& name, bool trim);

}  // namespace quorvel
