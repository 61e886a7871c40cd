#include "base/HVersion.h"

#ifndef QUORVEL_VERSION
#error "QUORVEL_VERSION is defined by CMakeLists.txt from the project version"
#endif

namespace quorvel {

const char* Version() { return QUORVEL_VERSION; }

}  // namespace quorvel
