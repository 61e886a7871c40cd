// HTemplateCache: the parsed templates a process that serves request after request keeps,
// so that a request for a template whose files are unchanged is not read and parsed again.
//
// A template is kept as read: its tree (HElementTree, which holds its elements), under the
// path it was opened by and the settings its reading depended on (`_INCLUDE_PATH_`, and
// `_HTMX_PATH_`, which chose the path). A later request writes it
// again only while every file its reading looked at is what it was: the template, which
// Initialise opened again, has the same stamp; each included file opens again by the same
// name, through the same site checks, with the same stamp (IsPageFile: one look at the name
// when it names that very file); each name that was looked for and not opened still does
// not open. A tree is kept only when its reading
// succeeded and each stamp was settled when the request began (HFileStamp::Settled), so no
// later change can hide behind an unchanged stamp. At most a number of trees, of at most a
// number of bytes together, are kept; the one written least recently goes first.
//
// Owned by the driver for the life of the process; a request uses one tree, which stays
// kept (or alive) until the next request begins.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <time.h>
#include <unordered_map>

#include "elements/HElement.h"
#include "elements/HElementTree.h"

namespace quorvel {

class HContext;

// A template as read: its tree, which holds its elements.
struct HParsedTemplate {
    HElementTree tree;
};

class HTemplateCache {
public:
    HTemplateCache(size_t maxTemplates, size_t maxBytes) : maxTemplates_(maxTemplates), maxBytes_(maxBytes) {}
    HTemplateCache(const HTemplateCache&) = delete;
    HTemplateCache& operator=(const HTemplateCache&) = delete;

    // The kept template for the request in `ctx`, whose template Initialise has opened, when
    // its files are unchanged (see above); else null, and a tree kept for it goes.
    HParsedTemplate* Find(HContext& ctx);
    // Keeps `parsed`, read without fault by the request in `ctx` that began at `began`
    // (CoarseClock), when its files allow it. Returns false (and leaves `parsed`) otherwise.
    bool Keep(HContext& ctx, std::unique_ptr<HParsedTemplate>& parsed, const timespec& began);

    size_t Size() const { return order_.size(); }
    // Requests whose template was found kept, since the process began.
    unsigned long Hits() const { return hits_; }

private:
    struct Entry {
        std::string key;
        std::unique_ptr<HParsedTemplate> parsed;
        size_t bytes;
    };
    static std::string Key(const HContext& ctx);
    void Drop(std::list<Entry>::iterator entry);

    std::list<Entry> order_;  // most recently written first
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
    size_t maxTemplates_, maxBytes_;
    size_t bytes_ = 0;
    unsigned long hits_ = 0;
};

}  // namespace quorvel
