// Text that the peer controls: the file names and paths it sends and the
// computer name it presents (names.cpp).
#pragma once

#include <string>

namespace dyad {

// Why `name` may not become a file in the receiving directory, or "" when it
// may: a name is stored only when Linux and Windows can both store it as it
// is.
std::string nameProblem(const std::string& name);
// The same for a path inside the receiving directory: folder names and a
// file name joined by '/', each of which must pass nameProblem(), at most
// 259 bytes (what a block name holds).
std::string pathProblem(const std::string& path);
// Text that the peer controls, ready to print: control characters, DEL, the
// marks that steer a terminal's display and bytes that are no UTF-8 become
// \xNN, a backslash \\; the rest stays readable.
std::string escaped(const std::string& text);

}  // namespace dyad
