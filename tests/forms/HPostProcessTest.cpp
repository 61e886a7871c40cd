#include "forms/HPostProcess.h"

#include <gtest/gtest.h>

#include "base/HExcept.h"
#include "e2e/E2eHarness.h"
#include "elements/ElementFixture.h"

using namespace quorvel;

namespace {

// The error RunValidation raises for a form tag written as `form` (code -1: passes).
HExcept Validate(const std::string& form, const std::map<std::string, std::string>& vars = {}) {
    ElementFixture f;
    f.Parse(form + "</FORM>");
    for (const auto& kv : vars)
        f.Define(kv.first, kv.second);
    try {
        RunValidation(f.ctx, *f.element);
    } catch (const HExcept& e) {
        return e;
    }
    return HExcept(-1);
}

TEST(HPostProcessTest, ValidationProgramAnswers) {
    E2eSite dir;
    // An answer written in two pieces, with a pause between them.
    dir.Write("slow", "#!/bin/sh\nprintf O\nsleep 0.3\nprintf 'K and more'\n", 0755);
    dir.Write("silent", "#!/bin/sh\nexit 0\n", 0755);
    dir.Write("short", "#!/bin/sh\nprintf O\n", 0755);
    dir.Write("args", "#!/bin/sh\nprintf '%s|' \"$@\"\n", 0755);
    const std::string slow = dir.Path("slow"), silent = dir.Path("silent"), shortOne = dir.Path("short");
    const std::string args = dir.Path("args");
    const struct {
        std::string form;
        int code;
        const char* detail;
        const char* url;
    } cases[] = {
        {"<FORM VALIDATION=(\"\",\"printf OK\",OK,bad.htm)>", -1, "", ""},
        {"<FORM VALIDATION=(/usr/bin/printf,\"printf OKAY\",OK,bad.htm)>", -1, "", ""},
        {"<FORM VALIDATION=(\"\",\"printf ok\",OK,bad.htm)>", 34, "printf ok", "bad.htm"},
        {"<FORM VALIDATION=(" + slow + ",slow,OK,bad.htm)>", -1, "", ""},
        {"<FORM VALIDATION=(" + silent + ",silent,OK,bad.htm)>", 32, "silent", ""},
        {"<FORM VALIDATION=(" + shortOne + ",short,OK,bad.htm)>", 34, "short", "bad.htm"},
        {"<FORM VALIDATION=(" + silent + ",silent,\"\",bad.htm)>", -1, "", ""},
        {"<FORM VALIDATION=(/no/such/program,\"nothing here\",OK,bad.htm)>", 32, "nothing here", ""},
        // The items are evaluated: the answer may come from the submission.
        {"<FORM VALIDATION=(\"\",\"printf @WORD\",@WANT,@BACK)>", 34, "printf yes", "again.htm"},
        // A submitted value is one argument, whatever quotes and blanks it holds.
        {"<FORM VALIDATION=(" + args + ",\"args @EVIL \"\"@EVIL\"\"\",@TWICE,bad.htm)>", -1, "", ""},
        {"<FORM VALIDATION=(a,b,c)>", 33, "", ""},
        {"<FORM VALIDATION=(a,b,c,d,e)>", 33, "", ""},
        {"<FORM VALIDATION=abc>", 33, "", ""},
        {"<FORM VALIDATION>", 33, "", ""},
        {"<FORM ACTION=x>", -1, "", ""},
    };
    for (const auto& c : cases) {
        HExcept e = Validate(c.form, {{"WORD", "yes"}, {"WANT", "no"}, {"BACK", "again.htm"},
                                      {"EVIL", "ok\" --evil \"x"}, {"TWICE", "ok\" --evil \"x|ok\" --evil \"x|"}});
        EXPECT_EQ(e.code, c.code) << c.form;
        EXPECT_EQ(e.detail, c.detail) << c.form;
        EXPECT_EQ(e.url, c.url) << c.form;
    }
    // An answer that is not complete within the time bound: the program is ended, error 32.
    EXPECT_EQ(Validate("<FORM VALIDATION=(" + slow + ",slow,OK,bad.htm)>", {{"_PROGRAM_TIMEOUT_", "0.1"}}).code, 32);
}

}  // namespace
