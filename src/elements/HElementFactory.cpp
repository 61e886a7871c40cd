#include "elements/HElementFactory.h"

#include "database/HDbResultElement.h"
#include "database/HSqlElement.h"
#include "elements/HElement.h"
#include "elements/HIncludeElement.h"
#include "elements/HInputElement.h"
#include "external/HFunctionElement.h"
#include "forms/HFormElement.h"
#include "template/HTagTable.h"

std::unique_ptr<HElement> CreateElement(int tagIndex) {
    switch (tagIndex) {
    case kTagInput: return std::make_unique<HInputElement>();
    case kTagTextArea: return std::make_unique<HTextAreaElement>();
    case kTagForm: return std::make_unique<HFormElement>();
    case kTagInclude: return std::make_unique<HIncludeElement>();
    case kTagSql: return std::make_unique<HSqlElement>();
    case kTagDbResult: return std::make_unique<HDbResultElement>();
    case kTagFunction: return std::make_unique<HFunctionElement>();
    case kTagLi: return std::make_unique<HListItemElement>();
    case kTagDt: return std::make_unique<HDefTermElement>();
    case kTagDd: return std::make_unique<HDefDataElement>();
    case kTagOption: return std::make_unique<HOptionElement>();
    case kTagHtml: return std::make_unique<HHtmlElement>();
    case kTagP: return std::make_unique<HParagraphElement>();
    default: return std::make_unique<HElement>(tagIndex);
    }
}
