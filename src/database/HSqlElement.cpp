#include "database/HSqlElement.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <strings.h>

#include "database/HConnections.h"
#include "database/HSqlOperation.h"
#include "database/HSqlText.h"
#include "values/HContext.h"
#include "base/HExcept.h"
#include "template/HTagTable.h"

namespace quorvel {

namespace {

bool StartsWithKeyword(const std::string& text, const char* keyword) {
    return text.size() >= 6 && strncasecmp(text.c_str(), keyword, 6) == 0;
}

// Whether every statement is a query or a row change, which leave nothing in the session of
// a database whose functions cannot change it; anything else (a temporary table, an
// attached file, a pragma, a comment first) may.
bool OnlyRowStatements(const HSqlAnalysis& statements) {
    for (const HSqlStatement& statement : statements) {
        const std::string& text = statement.front().text;
        std::size_t start = text.find_first_not_of(" \t\r\n");
        std::string_view word = start == std::string::npos ? std::string_view() : std::string_view(text).substr(start);
        word = word.substr(0, std::min(word.find_first_of(" \t\r\n("), word.size()));
        bool row = false;
        for (const char* kind : {"SELECT", "INSERT", "UPDATE", "DELETE", "WITH"})
            row = row || (word.size() == std::strlen(kind) && strncasecmp(word.data(), kind, word.size()) == 0);
        if (!row)
            return false;
    }
    return true;
}

std::vector<std::string> IntoNames(HContext& ctx, const HValue* into) {
    std::vector<std::string> names;
    if (!into)
        return names;
    if (into->Kind() == HValue::kParamList) {
        for (const auto& item : static_cast<const HParamList*>(into)->Items())
            names.push_back(item->Evaluate(ctx, nullptr));
    } else {
        names.push_back(into->Evaluate(ctx, nullptr));
    }
    return names;
}

}  // namespace

HSqlElement::HSqlElement() : HElement(kTagSql) {}

void HSqlElement::Output(HContext& ctx) {
    const HValue* errorUrl = Attribute("ERROR_URL");
    auto url = [&] { return errorUrl ? errorUrl->Evaluate(ctx, nullptr) : std::string(); };
    if (!HasAttribute("TEXT"))
        throw HExcept(kErrTextMissing);
    // References to data in the text become markers whose values the operation keeps.
    HText text(HText::kSql);
    if (const HValue* textValue = Attribute("TEXT"))
        textValue->EvaluateInto(ctx, nullptr, text);
    const std::string& sql = text.text;

    const bool query = StartsWithKeyword(sql, "SELECT");
    if (ctx.postProcess ? !(StartsWithKeyword(sql, "INSERT") || StartsWithKeyword(sql, "UPDATE") ||
                            StartsWithKeyword(sql, "DELETE"))
                        : !query)
        return;

    HSqlAnalysis statements;
    try {
        statements = AnalyseSql(sql);
    } catch (const HExcept& e) {
        throw HExcept(e.code, sql, url());
    }
    if (query && statements.size() != 1)
        throw HExcept(kErrOneSelectOnly, sql, url());

    const HValue* noDataUrl = Attribute("NO_DATA_FOUND_URL");
    if (!ctx.connections)
        throw HExcept(kErrConnect, "no database connections in this context");
    const HOdbcLink connection = ctx.connections->Select(ctx, *this, errorUrl);
    if (!OnlyRowStatements(statements))
        ctx.connections->NoteSessionChange(connection.hdbc);
    if (!HasAttribute("NAME"))
        throw HExcept(kErrNameMissing);
    const HValue* nameValue = Attribute("NAME");
    const std::string name = nameValue ? nameValue->GetText() : std::string();
    HOdbcStatement statement = OdbcAllocStmt(connection.hdbc);

    const HValue* trimValue = Attribute("TRIM");
    const bool trim = !(trimValue && strcasecmp(trimValue->GetText().c_str(), "FALSE") == 0);

    ctx.symbols.Define(name, std::make_unique<HSqlOperation>(
                                 name, std::move(statement), std::move(statements),
                                 IntoNames(ctx, Attribute("INTO")), connection,
                                 errorUrl, noDataUrl, trim,
                                 std::move(text.sqlValues)));
}

}  // namespace quorvel
