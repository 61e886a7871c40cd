// HIncludeElement: `<INCLUDE FILE=name>` splices another template file in place.
//
// While the including template is read, the included file becomes the input stream and
// its pieces become this element's content; the INCLUDE tag itself never appears in
// the page. The name is opened as given (relative to the current directory), then under
// `_INCLUDE_PATH_`. Inclusions nest at most kMaxDepth deep, so a file that includes
// itself ends with error 20 instead of running out of memory.
#pragma once

#include "elements/HElement.h"

namespace quorvel {

class HIncludeElement : public HElement {
public:
    HIncludeElement();
    std::unique_ptr<HElement> Parse(HContext& ctx, int& status) override;
    void Output(HContext& ctx) override;

    static constexpr int kMaxDepth = 16;
};

}  // namespace quorvel
