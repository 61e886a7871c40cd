#include "elements/HInputElement.h"

#include <gtest/gtest.h>

#include <map>

#include "base/HExcept.h"
#include "elements/ElementFixture.h"

using namespace quorvel;

namespace {

struct NumberCase {
    const char* text;
    bool ok;
    double value;
};

TEST(HInputElementTest, NumberSyntax) {
    const NumberCase cases[] = {
        {"12", true, 12},          {"-3.25", true, -3.25}, {"7.", true, 7},
        {".5", true, .5},          {"", true, 0},          {"-0.5", true, -0.5},
        {" 4", true, 4},           {"+2", true, 2},        {"\t-1.5", true, -1.5},
        {"99999999999", true, 99999999999.0},              {"-99999999999", true, -99999999999.0},
        {"99999999999999999999.5", true, 1e20},
        {"1e3", false, 0},         {"1,000", false, 0},    {"3,5", false, 0},
        {"12 ", false, 0},         {" ", false, 0},        {"-.5", false, 0},
        {"+", false, 0},           {"abc", false, 0},      {"1.2.3", false, 0},
    };
    for (const auto& c : cases) {
        double v = -999;
        EXPECT_EQ(ParseConstraintNumber(c.text, v), c.ok) << "'" << c.text << "'";
        if (c.ok) {
            EXPECT_DOUBLE_EQ(v, c.value) << "'" << c.text << "'";
        }
    }
}

TEST(HInputElementTest, DateSyntax) {
    const std::pair<const char*, bool> cases[] = {
        {"12/31/96", true}, {"1-2-03", true},   {"01/01/96", true}, {"2/30-99", true},
        {"+1/1/96", true},  {" 1/1/96", true},  {"13/01/96", false}, {"1/32/96", false},
        {"0/1/96", false},  {"1/0/96", false},  {"1/1/1996", false}, {"1/1/96x", false},
        {"1/1/9", false},   {"1.1.96", false},  {"001/1/96", false}, {"", false},
        {"1/1/", false},    {"-1/1/96", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsConstraintDate(c.first), c.second) << "'" << c.first << "'";
}

TEST(HInputElementTest, RowsOfAField) {
    const std::pair<const char*, bool> cases[] = {
        {"QTY___2", true},    {"QTY___2___3", true}, {"QTY___1", true},  {"QTY", false},
        {"QTY___", false},    {"QTYX___2", false},   {"QTY___2x", false}, {"QTY___2___", false},
        {"qty___2", false},   {"QT___2", false},     {"QTY__2", false},  {"QTY___12", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsRowOfField(c.first, "QTY"), c.second) << c.first;
}

// The page text of one field written while `modifier` is in force.
std::string WriteField(const std::string& text, const std::string& modifier,
                       std::string* maxModifier = nullptr) {
    ElementFixture f;
    f.Parse(text);
    f.ctx.nameModifier = modifier;
    if (maxModifier)
        f.ctx.maxNameModifier = *maxModifier;
    std::string out = f.Write();
    if (maxModifier)
        *maxModifier = f.ctx.maxNameModifier;
    return out;
}

TEST(HInputElementTest, FieldNamesCarryTheRowModifier) {
    std::string max;
    std::string out = WriteField("<INPUT NAME=QTY SIZE=3 LOW_VALUE=(1,l.htm)>", "___3", &max);
    EXPECT_NE(out.find(" NAME=QTY___3"), std::string::npos) << out;
    EXPECT_NE(out.find(" SIZE=3"), std::string::npos) << out;
    EXPECT_EQ(out.find("LOW_VALUE"), std::string::npos) << out;
    EXPECT_EQ(max, "___3");

    EXPECT_EQ(WriteField("<INPUT NAME=QTY>", "___1"), "<INPUT NAME=QTY>");
    EXPECT_EQ(WriteField("<INPUT NAME=QTY>", "___1___1"), "<INPUT NAME=QTY>");
    EXPECT_EQ(WriteField("<INPUT NAME=QTY>", ""), "<INPUT NAME=QTY>");
    EXPECT_EQ(WriteField("<input name=@X>", "___2"), "<INPUT NAME=X___2>");
}

// The highest row number written at each level, compared as numbers.
TEST(HInputElementTest, HighestRowPerLevelIsTheMaximum) {
    const struct {
        const char* before;
        const char* current;
        const char* after;
    } cases[] = {
        {"", "", ""},
        {"___1", "___2", "___2"},
        {"___4", "___3", "___4"},
        {"___2___1", "___3", "___3___1"},
        {"___9", "___10", "___10"},
        {"___10", "___9", "___10"},
        {"___2___3", "___2___2", "___2___3"},  // outer rows of 3 and 2 inner rows
        {"___1___3", "___2", "___2___3"},
        {"___3", "", "___3"},
    };
    for (const auto& c : cases) {
        std::string max = c.before;
        WriteField("<INPUT NAME=QTY>", c.current, &max);
        EXPECT_EQ(max, c.after) << c.before << " then " << c.current;
    }
}

TEST(HInputElementTest, TextAreaIsNamedLikeAnInput) {
    std::string max;
    EXPECT_EQ(WriteField("<TEXTAREA NAME=NOTE ROWS=2>x</TEXTAREA>", "___1", &max),
              "<TEXTAREA ROWS=2 NAME=NOTE>x</TEXTAREA>");
    EXPECT_EQ(max, "___1");
    max.clear();
    EXPECT_EQ(WriteField("<TEXTAREA NAME=NOTE>x</TEXTAREA>", "___2", &max),
              "<TEXTAREA NAME=NOTE___2>x</TEXTAREA>");
    EXPECT_EQ(max, "___2");
    EXPECT_EQ(WriteField("<TEXTAREA NAME=NOTE></TEXTAREA>", ""), "<TEXTAREA NAME=NOTE></TEXTAREA>");
}

// Runs `f` and returns the error it raised (code -1 when none).
template <class F>
HExcept Raised(F f) {
    try {
        f();
    } catch (const HExcept& e) {
        return e;
    }
    return HExcept(-1);
}

TEST(HInputElementTest, MalformedConstraintsFailWhenWritten) {
    const std::pair<const char*, const char*> cases[] = {
        {"<INPUT NAME=A MANDATORY=TRUE>", "MANDATORY"},
        {"<INPUT NAME=A LOW_VALUE=(1)>", "LOW_VALUE"},
        {"<INPUT NAME=A HIGH_VALUE=(1,h.htm,x)>", "HIGH_VALUE"},
        {"<INPUT NAME=A DATATYPE>", "DATATYPE"},
    };
    for (const auto& c : cases) {
        HExcept e = Raised([&] { WriteField(c.first, ""); });
        EXPECT_EQ(e.code, 30) << c.first;
        EXPECT_EQ(e.detail, c.second) << c.first;
        EXPECT_EQ(e.url, "") << c.first;
    }
}

struct CheckCase {
    const char* field;
    std::map<std::string, std::string> submitted;
    int code;  // -1: passes
    const char* detail;
    const char* url;
};

TEST(HInputElementTest, SubmittedValuesAreChecked) {
    const CheckCase cases[] = {
        {"<INPUT NAME=A MANDATORY=(true,m.htm)>", {}, 31, "A", "m.htm"},
        {"<INPUT NAME=A MANDATORY=(true,m.htm)>", {{"A", "x"}}, -1, "", ""},
        {"<INPUT NAME=A MANDATORY=(no,m.htm)>", {}, -1, "", ""},
        {"<INPUT NAME=A DATATYPE=(NUMBER,n.htm)>", {{"A", "-3.25"}}, -1, "", ""},
        {"<INPUT NAME=A DATATYPE=(number,n.htm)>", {{"A", "3,5"}}, 31, "A", "n.htm"},
        {"<INPUT NAME=A DATATYPE=(DATE,d.htm)>", {{"A", "12/31/96"}}, -1, "", ""},
        {"<INPUT NAME=A DATATYPE=(DATE,\"d.htm\")>", {{"A", "13/01/96"}}, 31, "A", "d.htm"},
        {"<INPUT NAME=A DATATYPE=(CHAR,c.htm)>", {{"A", "anything"}}, -1, "", ""},
        {"<INPUT NAME=A LOW_VALUE=(-1.5,l.htm)>", {{"A", "-1.5"}}, -1, "", ""},
        {"<INPUT NAME=A LOW_VALUE=(-1.5,l.htm)>", {{"A", "-1.6"}}, 31, "A", "l.htm"},
        {"<INPUT NAME=A LOW_VALUE=(-1.5,l.htm)>", {{"A", "x"}}, 31, "A", "l.htm"},
        {"<INPUT NAME=A LOW_VALUE=(abc,l.htm)>", {{"A", "1"}}, 30, "A", "l.htm"},
        {"<INPUT NAME=A LOW_VALUE=(abc,l.htm)>", {}, -1, "", ""},
        {"<INPUT NAME=A HIGH_VALUE=(10,h.htm)>", {{"A", "10"}}, -1, "", ""},
        {"<INPUT NAME=A HIGH_VALUE=(10,h.htm)>", {{"A", "10.01"}}, 31, "A", "h.htm"},
        // Numbers keep their size: nothing saturates at 32-bit limits.
        {"<INPUT NAME=A HIGH_VALUE=(2147483647,h.htm)>", {{"A", "99999999999999999999"}}, 31, "A", "h.htm"},
        {"<INPUT NAME=A LOW_VALUE=(-2147483648,l.htm)>", {{"A", "-2147483649"}}, 31, "A", "l.htm"},
        {"<INPUT NAME=A HIGH_VALUE=(3000000000.5,h.htm)>", {{"A", "3000000000"}}, -1, "", ""},
        {"<INPUT NAME=A DATATYPE=(NUMBER,n.htm) HIGH_VALUE=(10,h.htm)>", {{"A", "x"}}, 31, "A", "n.htm"},
        {"<INPUT NAME=A TYPE=HIDDEN MANDATORY=(TRUE,m.htm)>", {}, -1, "", ""},
        {"<INPUT NAME=A TYPE=password DATATYPE=(NUMBER,n.htm)>", {{"A", "x"}}, -1, "", ""},
        {"<INPUT NAME=A TYPE=text DATATYPE=(NUMBER,n.htm)>", {{"A", "x"}}, 31, "A", "n.htm"},
        {"<INPUT NAME=A TYPE DATATYPE=(NUMBER,n.htm)>", {{"A", "x"}}, 31, "A", "n.htm"},
        {"<INPUT SIZE=3 MANDATORY=(TRUE,m.htm)>", {}, 16, "", ""},
        {"<INPUT NAME MANDATORY=(TRUE,m.htm)>", {}, 16, "", ""},
        {"<INPUT NAME=A MANDATORY=TRUE>", {}, 30, "MANDATORY", ""},
        // Every submitted row of the field holds to the type and the range.
        {"<INPUT NAME=A DATATYPE=(NUMBER,n.htm)>", {{"A", "5"}, {"A___2", "abc"}}, 31, "A___2", "n.htm"},
        {"<INPUT NAME=A HIGH_VALUE=(10,h.htm)>", {{"A___2___3", "11"}}, 31, "A___2___3", "h.htm"},
        {"<INPUT NAME=A LOW_VALUE=(0,l.htm)>", {{"A___7", "3"}, {"AB___2", "-1"}}, -1, "", ""},
        {"<INPUT NAME=A DATATYPE=(DATE,d.htm)>", {{"A___2", ""}}, -1, "", ""},
        // MANDATORY asks for the plain name only.
        {"<INPUT NAME=A MANDATORY=(TRUE,m.htm)>", {{"A___2", "5"}}, 31, "A", "m.htm"},
    };
    for (const auto& c : cases) {
        ElementFixture f;
        f.Parse(c.field);
        f.ctx.postProcess = true;
        for (const auto& kv : c.submitted)
            f.Define(kv.first, kv.second);
        std::string out;
        HExcept e = Raised([&] { out = f.Write(); });
        EXPECT_EQ(e.code, c.code) << c.field;
        EXPECT_EQ(e.detail, c.detail) << c.field;
        EXPECT_EQ(e.url, c.url) << c.field;
        EXPECT_EQ(out, "") << c.field;
    }
}

}  // namespace
