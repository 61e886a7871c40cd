#include "elements/HIncludeElement.h"

#include "elements/HElementTree.h"

#include "values/HContext.h"
#include "base/HExcept.h"
#include "template/HSiteFiles.h"
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
            if (stream)
                ctx.tree->NoteNotOpened(name);
        }
    }
    if (!stream) {
        HExcept missing(kErrIncludeMissing, name);
        missing.cause = WhyNotOpened(name);
        if (missing.cause == "not found" && !underPath.empty())
            missing.cause = WhyNotOpened(underPath);
        throw missing;
    }

    // The including stream is restored on every way out, errors included.
    struct Swap {
        Swap(HContext& c, HInput* next, const std::string& path) : ctx(c), saved(c.input) {
            savedFile = ctx.tree->EnterFile(path, next->Stamp());
            ctx.input = next;
            ++ctx.includeDepth;
        }
        ~Swap() {
            ctx.tree->LeaveFile(savedFile);
            ctx.input = saved;
            --ctx.includeDepth;
        }
        HContext& ctx;
        HInput* saved;
        unsigned savedFile = 0;
    } swap(ctx, stream.get(), underPath.empty() ? name : underPath);

    try {
        ReadContent(ctx, status);
        if (status != 0)
            throw HExcept(kErrIncludeUnmatched, name);
    } catch (HExcept& e) {
        // A fault in reading the included file is placed where its reading stopped.
        ctx.tree->PlaceReadingFault(ctx, e, *ctx.input);
        throw;
    }
    status = 1;
    return nullptr;
}

void HIncludeElement::Output(HContext& ctx) { OutputChildren(ctx); }

}  // namespace quorvel
