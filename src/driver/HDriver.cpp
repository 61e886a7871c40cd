#include "driver/HDriver.h"

#include <csignal>

#include "driver/HConfig.h"
#include "driver/HContext.h"
#include "driver/HExcept.h"
#include "driver/HReport.h"
#include "driver/HStats.h"
#include "elements/HElement.h"
#include "template/HScanner.h"
#include "template/HTagTable.h"

int RunRequest() {
    // A client that goes away must not kill the request before its statistics line.
    std::signal(SIGPIPE, SIG_IGN);

    HContext ctx;
    std::unique_ptr<HElement> root;
    std::unique_ptr<HElement> doctype;
    try {
        Initialise(ctx);
        if (ctx.debug && ctx.rawRequestValues)
            ctx.page->Write("<!-- _RAW_REQUEST_VALUES_: request values are written unescaped"
                            " into pages and SQL texts -->\n");

        if (ScanDocumentStart(ctx, doctype, root) != kTagHtml)
            throw HExcept(8);
        int status = 1;
        root->Parse(ctx, status);
        if (doctype) {
            doctype->Output(ctx);
            if (!ctx.postProcess)
                ctx.page->Write("\n", 1);
        }
        root->Output(ctx);
        Finalise(ctx);
        WriteStatistics(ctx, nullptr);
    } catch (const HExcept& e) {
        ReportError(ctx, e);
        WriteStatistics(ctx, &e);
    }
    root.reset();
    doctype.reset();
    return 0;
}
