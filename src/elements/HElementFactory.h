// CreateElement: the element class for each start tag index of the tag table (4..56).
// Text, unknown tags and at-sign expressions are pieces of the tree, not elements.
#pragma once

#include <memory>

namespace quorvel {

class HElement;

std::unique_ptr<HElement> CreateElement(int tagIndex);
// The element of a tag with behaviour of its own (SQL, FORM ...); nullptr for a tag that
// is an HElement, which only writes itself and its content.
std::unique_ptr<HElement> CreateBehaviourElement(int tagIndex);

}  // namespace quorvel
