// Why the library could not save to or load from a path, found by the host
// from the file system: the library itself only answers -1.
#pragma once

#include <string>

#include "MirnDLL.h"

namespace mirn::cli {

// The library takes at most this many bytes of (UTF-8) path; mirn hands it a
// short name for a longer one.
inline constexpr std::size_t kLongestPath = MIRNDLL_MAX_PATH_BYTES;

// A reason in plain words ("the directory /x does not exist"), or empty when
// nothing the host can see stands in the way.
std::string WhyCannotSave(const std::string& path);
std::string WhyCannotLoad(const std::string& path);

}  // namespace mirn::cli
