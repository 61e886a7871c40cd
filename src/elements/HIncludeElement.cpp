#include "elements/HIncludeElement.h"

#include "values/HContext.h"
#include "base/HExcept.h"
#include "template/HSiteFiles.h"
#include "template/HReadObserver.h"
#include "template/HTagTable.h"

namespace quorvel {

HIncludeElement::HIncludeElement() : HElement(kTagInclude) {}

std::unique_ptr<HElement> HIncludeElement::Parse(HContext& ctx, int& status) {
    ReadAttributes(ctx);
    const HValue* file = Attribute("FILE");
    if (!file)
        throw HExcept(kErrIncludeMissing);
    std::string name = file->GetText();
    if (ctx.includeDepth >= kMaxDepth)
        throw HExcept(kErrIncludeMissing, name);

    std::unique_ptr<HInput> stream = OpenPageFile(name, ctx.ownFiles);
    std::string underPath;  // the name under _INCLUDE_PATH_, when that is what opened
    if (!stream) {
        if (const HValue* path = ctx.symbols.Lookup("_INCLUDE_PATH_")) {
            underPath = path->GetText() + "/" + name;
            stream = OpenPageFile(underPath, ctx.ownFiles);
        }
    }
    if (!stream)
        throw HExcept(kErrIncludeMissing, name);

    // The including stream is restored on every way out, errors included.
    struct Swap {
        Swap(HContext& c, HInput* next, const std::string& path) : ctx(c), saved(c.input) {
            if (ctx.observer)
                ctx.observer->EnterFile(path);
            ctx.input = next;
            ++ctx.includeDepth;
        }
        ~Swap() {
            if (ctx.observer)
                ctx.observer->LeaveFile(*ctx.input);
            ctx.input = saved;
            --ctx.includeDepth;
        }
        HContext& ctx;
        HInput* saved;
    } swap(ctx, stream.get(), underPath.empty() ? name : underPath);

    ReadContent(ctx, status);
    if (status != 0)
        throw HExcept(kErrIncludeUnmatched, name);
    status = 1;
    return nullptr;
}

void HIncludeElement::Output(HContext& ctx) { OutputChildren(ctx); }

}  // namespace quorvel
