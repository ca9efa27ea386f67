// Files of the system directory: the installed library, whose version record
// is the library's version identity, and the stored update beside it.
#pragma once

#include <cstddef>

namespace dyadc {

// The system directory is fetched with this size, and paths in it are built
// in buffers of this size.
inline constexpr unsigned systemDirectorySize = 261;
inline constexpr size_t systemPathSize = 264;

// The path of `fileName` in the system directory. False, with an empty path,
// when the directory cannot be read or the path would not fit: a path is
// never used cut short.
bool systemFilePath(const char* fileName, char (&path)[systemPathSize]);

}  // namespace dyadc
