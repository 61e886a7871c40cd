#include "driver/HTemplateCache.h"

#include "template/HSiteFiles.h"
#include "values/HContext.h"

namespace quorvel {

std::string HTemplateCache::Key(const HContext& ctx) {
    std::string key;
    auto add = [&key](const std::string& text) { key.append(std::to_string(text.size())).append(":").append(text); };
    add(ctx.templatePath);
    for (const char* setting : {"_INCLUDE_PATH_", "_HTMX_PATH_"}) {
        const HValue* value = ctx.symbols.Lookup(setting);
        add(value ? "=" + value->GetText() : std::string());
    }
    return key;
}

void HTemplateCache::Drop(std::list<Entry>::iterator entry) {
    bytes_ -= entry->bytes;
    index_.erase(entry->key);
    order_.erase(entry);
}

HParsedTemplate* HTemplateCache::Find(HContext& ctx) {
    if (!ctx.templateStream)
        return nullptr;
    auto found = index_.find(Key(ctx));
    if (found == index_.end())
        return nullptr;
    const auto entry = found->second;
    const auto& sources = entry->parsed->tree.Sources();
    bool same = !sources.empty() && sources[0].stamp == ctx.templateStream->Stamp();
    for (size_t i = 1; same && i < sources.size(); ++i)
        same = sources[i].opened ? IsPageFile(sources[i].path, ctx.ownFiles, sources[i].stamp)
                                 : !OpenPageFile(sources[i].path, ctx.ownFiles);
    if (!same) {
        Drop(entry);
        return nullptr;
    }
    order_.splice(order_.begin(), order_, entry);
    ++hits_;
    return entry->parsed.get();
}

bool HTemplateCache::Keep(HContext& ctx, std::unique_ptr<HParsedTemplate>& parsed, const timespec& began) {
    for (const HElementTree::Source& source : parsed->tree.Sources())
        if (source.opened && !source.stamp.Settled(began))
            return false;
    const size_t bytes = parsed->tree.FinishReading();
    if (maxTemplates_ == 0 || bytes > maxBytes_)
        return false;
    std::string key = Key(ctx);
    auto old = index_.find(key);
    if (old != index_.end())
        Drop(old->second);
    while (!order_.empty() && (order_.size() >= maxTemplates_ || bytes_ + bytes > maxBytes_))
        Drop(std::prev(order_.end()));
    // `parsed` is taken last, when nothing can fail any more.
    order_.push_front(Entry{key, nullptr, bytes});
    try {
        index_.emplace(std::move(key), order_.begin());
    } catch (...) {
        order_.pop_front();
        throw;
    }
    order_.front().parsed = std::move(parsed);
    bytes_ += bytes;
    return true;
}

}  // namespace quorvel
