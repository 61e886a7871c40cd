// The name modifiers and scopes a DBRESULT body sees, observed from inside the body.
#include "database/HDbResultElement.h"

#include <gtest/gtest.h>

#include "database/HConnections.h"
#include "database/HSqlElement.h"
#include "database/OdbcTestEnv.h"
#include "values/HContext.h"
#include "elements/HElementTree.h"
#include "template/HInput.h"
#include "template/HPage.h"
#include "template/HTagTable.h"

using namespace quorvel;

namespace {

// A variable whose text is the name modifier in force and the number of open result sets.
class ModifierProbe : public HValue {
public:
    ModifierProbe() : HValue(kWord, "probe") {}
    std::string Evaluate(HContext& ctx, const std::string*) const override {
        return "[" + ctx.nameModifier + " " + std::to_string(ctx.scopes.size()) + "]";
    }
    std::string GetText() const override { return text_; }
};

// Reads an element's attribute list (and content) from `text`, as the scanner would.
void ParseFrom(HContext& ctx, HElement& element, const std::string& text) {
    auto input = HInput::FromString(text);
    ctx.input = input.get();
    int status = 0;
    element.Parse(ctx, status);
    ctx.input = nullptr;
}

TEST(HDbResultElementTest, RowsSeeTheirModifiersAndScopes) {
    OdbcTestEnv::Process().CreateSqliteSource("modifiers");
    {
        HOdbcHandle hdbc = OdbcAllocConnect(OdbcAllocEnv());
        HConnectString parts;
        ASSERT_TRUE(SplitConnectString("modifiers:/", parts));
        ASSERT_TRUE(OdbcSucceeded(OdbcConnect(hdbc, parts)));
        for (const char* sql : {"CREATE TABLE t (id INTEGER)", "INSERT INTO t VALUES (1), (2), (3)"}) {
            HOdbcStatement stmt = OdbcAllocStmt(hdbc);
            ASSERT_TRUE(OdbcSucceeded(OdbcPrepare(stmt.Get(), sql)));
            ASSERT_TRUE(OdbcSucceeded(OdbcExecute(stmt.Get())));
        }
    }
    HConnections connections;
    HContext ctx;
    ctx.connections = &connections;
    ctx.page = HPage::Temporary();
    ctx.symbols.Define("_CONNECT_", std::make_unique<HWordValue>("modifiers:/"));
    HSqlElement outerSql, innerSql;
    ParseFrom(ctx, outerSql, " NAME=outer TEXT=\"SELECT id FROM t WHERE id < 3 ORDER BY id\">");
    ParseFrom(ctx, innerSql, " NAME=inner TEXT=\"SELECT id FROM t ORDER BY id\">");
    outerSql.Output(ctx);
    innerSql.Output(ctx);

    ctx.symbols.Define("PROBE", std::make_unique<ModifierProbe>());
    HElementTree tree;
    ctx.tree = &tree;
    HDbResultElement outer;
    ParseFrom(ctx, outer, " QUERY=outer>@PROBE<DBRESULT QUERY=inner MAXROWS=2>@PROBE</DBRESULT>@PROBE</DBRESULT>");

    ctx.nameModifier = "___4";
    outer.Output(ctx);
    EXPECT_EQ(ctx.page->Contents(),
              "[___4___1 1][___4___1___1 2][___4___1___2 2][___4___1 1]"
              "[___4___2 1][___4___2___1 2][___4___2___2 2][___4___2 1]");
    EXPECT_EQ(ctx.nameModifier, "___4");
    EXPECT_TRUE(ctx.scopes.empty());

    // A body run again for another operation finds its columns by name in that one,
    // wherever it found them before, and writes their data escaped.
    HSqlElement first, second;
    ParseFrom(ctx, first, " NAME=q TEXT=\"SELECT 'a' AS x, 'b' AS y\">");
    const std::string longText(70, 'd');
    ParseFrom(ctx, second, " NAME=q TEXT=\"SELECT '<c' AS Y, '" + longText + "&' AS x\">");
    HDbResultElement cells;
    ParseFrom(ctx, cells, " QUERY=q>@y@X.</DBRESULT>");
    ctx.page->Clear();
    first.Output(ctx);
    cells.Output(ctx);
    second.Output(ctx);
    cells.Output(ctx);
    ctx.maxColumnWidth = 4096;  // wider buffers
    cells.Output(ctx);
    const std::string cell = "&#60;c" + longText + "&#38;.";
    EXPECT_EQ(ctx.page->Contents(), "ba." + cell + cell);
}

}  // namespace
