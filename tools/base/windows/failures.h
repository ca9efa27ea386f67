// What the Windows files of tools/base/system.h share (system.cpp): text
// from UTF-16, and the failure that an error of GetLastError() describes.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "tools/base/system.h"

namespace dyad::sys {

// UTF-8 of UTF-16 text; empty for text with a lone surrogate, which cannot
// travel.
std::string narrow(const wchar_t* text, size_t length);
// The failure that GetLastError() describes, in the system's words.
Failure failureOf(DWORD error);
// The failure to make a new name in a folder: when the receiving folder
// itself may not be written, no file can be stored.
Failure writingFailure(DWORD error, bool root);

}  // namespace dyad::sys
