#include "elements/HElementFactory.h"

#include "database/HDbResultElement.h"
#include "database/HSqlElement.h"
#include "elements/HElement.h"
#include "elements/HIncludeElement.h"
#include "elements/HInputElement.h"
#include "external/HFunctionElement.h"
#include "forms/HFormElement.h"
#include "template/HTagTable.h"

namespace quorvel {

std::unique_ptr<HElement> CreateBehaviourElement(int tagIndex) {
    switch (tagIndex) {
    case kTagInput: return std::make_unique<HInputElement>();
    case kTagTextArea: return std::make_unique<HTextAreaElement>();
    case kTagForm: return std::make_unique<HFormElement>();
    case kTagInclude: return std::make_unique<HIncludeElement>();
    case kTagSql: return std::make_unique<HSqlElement>();
    case kTagDbResult: return std::make_unique<HDbResultElement>();
    case kTagFunction: return std::make_unique<HFunctionElement>();
    default: return nullptr;
    }
}

std::unique_ptr<HElement> CreateElement(int tagIndex) {
    std::unique_ptr<HElement> element = CreateBehaviourElement(tagIndex);
    return element ? std::move(element) : std::make_unique<HElement>(tagIndex);
}

}  // namespace quorvel
