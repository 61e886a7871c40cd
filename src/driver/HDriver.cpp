#include "driver/HDriver.h"

#include <csignal>

#include "config/HConfig.h"
#include "database/HOdbc.h"
#include "values/HContext.h"
#include "base/HExcept.h"
#include "driver/HReport.h"
#include "driver/HStats.h"
#include "elements/HElement.h"
#include "elements/HElementTree.h"
#include "elements/HScanner.h"
#include "template/HTagTable.h"

namespace quorvel {

namespace {

// The tree of the last request. A process that serves one request ends right after it, and
// its memory goes back to the system in one go: taking the tree apart first would only
// cost time. A process that served another request would free the previous tree then.
HElementTree* lastTree = nullptr;

}  // namespace

void ServeRequest(HRequest& request) {
    delete lastTree;
    lastTree = new HElementTree();
    HContext ctx;
    ctx.request = &request;
    ctx.tree = lastTree;
    std::unique_ptr<HElement> root;
    std::unique_ptr<HElement> doctype;
    try {
        Initialise(ctx);
        if (ctx.debug && ctx.rawRequestValues)
            ctx.page->Write("<!-- _RAW_REQUEST_VALUES_: request values are written unescaped"
                            " into pages and SQL texts -->\n");

        if (ScanDocumentStart(ctx, doctype, root) != kTagHtml)
            throw HExcept(kErrNoHtmlStart);
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
    if (root)
        lastTree->Keep(std::move(root));
    if (doctype)
        lastTree->Keep(std::move(doctype));
}

sigset_t BlockStopSignals(void (*onStop)(int)) {
    static const int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : kStopSignals) {
        ::sigaction(s, &action, nullptr);
        sigaddset(&stops, s);
    }
    sigset_t waiting;
    ::sigprocmask(SIG_BLOCK, &stops, &waiting);
    for (int s : kStopSignals)
        sigdelset(&waiting, s);
    return waiting;
}

int RunRequest() {
    // A client that goes away must not kill the request before its statistics line.
    std::signal(SIGPIPE, SIG_IGN);
    // The connections of the previous request, whose statements went with its context. A
    // process that serves one request keeps its connections to the end, as it keeps the
    // tree: closing them costs time the page waits for, and the process ends at once.
    CloseConnections();
    ServeRequest(CgiRequest());
    return 0;
}

}  // namespace quorvel
