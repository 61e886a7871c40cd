// The name modifiers and scopes a DBRESULT body sees, observed from inside the body.
#include "database/HDbResultElement.h"

#include <gtest/gtest.h>

#include "database/HConnections.h"
#include "database/HSqlElement.h"
#include "database/OdbcTestEnv.h"
#include "values/HContext.h"
#include "template/HInput.h"
#include "template/HPage.h"
#include "template/HTagTable.h"

using namespace quorvel;

namespace {

// Writes the name modifier in force and the number of open result sets.
class ModifierProbe : public HElement {
public:
    ModifierProbe() : HElement(kTagText) {}
    void Output(HContext& ctx) override {
        ctx.page->Write("[" + ctx.nameModifier + " " + std::to_string(ctx.scopes.size()) + "]");
    }
};

class ProbedResult : public HDbResultElement {
public:
    void Add(std::unique_ptr<HElement> child) { children_.push_back(std::move(child)); }
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

    ProbedResult outer;
    auto inner = std::make_unique<ProbedResult>();
    ParseFrom(ctx, outer, " QUERY=outer></DBRESULT>");
    ParseFrom(ctx, *inner, " QUERY=inner MAXROWS=2></DBRESULT>");
    inner->Add(std::make_unique<ModifierProbe>());
    outer.Add(std::make_unique<ModifierProbe>());
    outer.Add(std::move(inner));
    outer.Add(std::make_unique<ModifierProbe>());

    ctx.nameModifier = "___4";
    outer.Output(ctx);
    EXPECT_EQ(ctx.page->Contents(),
              "[___4___1 1][___4___1___1 2][___4___1___2 2][___4___1 1]"
              "[___4___2 1][___4___2___1 2][___4___2___2 2][___4___2 1]");
    EXPECT_EQ(ctx.nameModifier, "___4");
    EXPECT_TRUE(ctx.scopes.empty());
}

}  // namespace
