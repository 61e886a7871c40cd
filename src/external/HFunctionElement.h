// HFunctionElement: the FUNCTION tag, which runs an external program while the element is
// written and inserts the program's output, unescaped, into the page at the tag's place.
//
// PROCESS (its text, not evaluated) chooses the kind of request: absent or PRE (any case)
// for page requests, anything else for post-process requests; in the other kind the element
// does nothing. COMMAND is the command line, split as the template wrote it before its
// references are evaluated (HProgramCommand); PATH the optional program file (HProgram).
// The output runs up to the byte 0xFF. When DEFAULT is given, any failure after it was
// evaluated writes the default text instead, after whatever output had already arrived.
// The content read after the tag belongs to the element and is never written.
#pragma once

#include "elements/HElement.h"

namespace quorvel {

class HFunctionElement : public HElement {
public:
    HFunctionElement();
    void Output(HContext& ctx) override;
};

}  // namespace quorvel
