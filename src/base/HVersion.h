// The gateway's version, set once in CMakeLists.txt (the project version).
#pragma once

namespace quorvel {

// "MAJOR.MINOR.PATCH", e.g. "2.0.2".
const char* Version();

}  // namespace quorvel
