// HContext: the state of the one request this process serves.
//
// Created by the driver, passed by reference to every element, value and database
// routine, destroyed when the request ends. It owns the template stream, the page buffer
// and the symbol table (and through it every variable and SQL operation). `scopes` and
// `input` only point at objects owned elsewhere. Members are declared so that the symbol
// table (whose SQL operations release their statement handles) is destroyed before the
// streams are closed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/HRequest.h"
#include "template/HInput.h"
#include "template/HPage.h"
#include "template/HSiteFiles.h"
#include "template/HTagTable.h"
#include "values/HNameModifier.h"
#include "base/HResultSet.h"
#include "values/HSymbolTable.h"

namespace quorvel {

class HConnections;
class HElementTree;

// Where reading a template stands and, once it failed, where it stopped: what the template
// checker reports a reading error with.
struct HReadPlace {
    int token = 0;        // the tag read last (its tag index), or -1 for an at-sign expression
    size_t tokenAt = 0;   // where it starts in the file being read
    bool failed = false;  // reading failed; the three below say where
    unsigned file = 0;    // the innermost file being read (its index in the tree)
    size_t at = 0;        // the byte of that file where reading stopped
    int includeDepth = 0;  // how deep that file is included
};

class HContext {
public:
    HContext() = default;
    HContext(const HContext&) = delete;
    HContext& operator=(const HContext&) = delete;

    // The template file; `input` points at it, or at an included file while that is read.
    std::unique_ptr<HInput> templateStream;
    // The path the template file was opened by; "" until then.
    std::string templatePath;
    HInput* input = nullptr;
    // The page buffer: a temporary file, or the debug log when debugging is on.
    std::unique_ptr<HPage> page;

    HSymbolTable symbols;

    // The configuration file and the logs, never read as a template or an inclusion.
    HOwnFiles ownFiles;

    // Where the request's CGI variables, body and clock come from. Not owned.
    HRequest* request = &CgiRequest();

    // The process's database connections and the request's view of them (its shared
    // connection among them). Not owned: one per process, from the driver.
    HConnections* connections = nullptr;

    // Open result sets whose current row is in scope, innermost at the back. Not owned.
    std::vector<const HResultSet*> scopes;

    std::string nameModifier;
    std::string maxNameModifier;
    // While a form's rows run: its named fields and their row levels, so that a reference
    // to one reads that row's name (see RowVariable). Not owned.
    const HFormFields* rowFields = nullptr;
    std::string formAction;
    // A post-process POST request's names whose value came from the query string, not the
    // body. A form reads its fields from the body only: when it is post-processed, those of
    // its fields (in any row) are removed from the symbol table (HPostProcess).
    std::vector<std::string> queryOnlyNames;
    bool postProcess = false;
    bool debug = false;
    // _RAW_REQUEST_VALUES_ = TRUE in the configuration: request values are the author's text.
    bool rawRequestValues = false;
    // While reading: kScript or kStyle inside the content of a SCRIPT or STYLE element,
    // where the at-sign expressions read are written as script or style sheet; else kPage.
    HText::Sink content = HText::kPage;
    // While reading: the state of a tag outside the table that its `>` did not end, as a
    // browser reads it (that `>` stood inside a quoted attribute value; 0: no such tag), and
    // `content` after its real end. Until that end, at-sign expressions are written as script.
    int openTag = 0;
    char openTagQuote = 0;
    HText::Sink outsideTag = HText::kPage;
    int maxColumnWidth = 1024;
    // The buffer a long result column written to the page is escaped into, kept from one
    // cell to the next so that a page of them allocates it once (see WriteValue).
    std::string valueText;

    // Bounds that keep hostile input from exhausting the stack.
    int includeDepth = 0;  // files being included now
    int elementDepth = 0;  // elements being read now
    // Elements being read now, by tag index: whether an end tag closes one of them.
    int openElements[kLastStartTag + 1] = {};
    int evalDepth = 0;     // variables being evaluated through references now
    long nestedReferences = 0;  // references followed for the outermost one being evaluated

    // The tree the template is read into. Not owned.
    HElementTree* tree = nullptr;
    HReadPlace reading;
};

// Counts one more level of a depth bound of HContext for as long as it lives.
class HDepthGuard {
public:
    explicit HDepthGuard(int& depth) : depth_(depth) { ++depth_; }
    ~HDepthGuard() { --depth_; }
    HDepthGuard(const HDepthGuard&) = delete;
    HDepthGuard& operator=(const HDepthGuard&) = delete;

private:
    int& depth_;
};

}  // namespace quorvel
