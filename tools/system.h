// The few calls of the dyad command that each operating system makes in its
// own way: whether a stream is a terminal, creating a file only when no file
// of that name exists, removing an unfinished file when the program is
// interrupted, and moving a finished file to its name with or without
// replacing one that is there. system_posix.cpp implements them for Linux; a
// Windows implementation sits beside it.
#pragma once

#include <cstdio>
#include <string>

namespace dyad::sys {

// Whether `stream` (stdin, stdout or stderr) is a terminal.
bool isTerminal(std::FILE* stream);

// Creates `path` for writing, unbuffered, only when nothing of that name
// exists (one step, so that no other process can slip in between). Returns
// null when it exists or cannot be made.
std::FILE* createNew(const std::string& path);

enum class Placed {
    placed,  // `from` now has the name `to`
    exists,  // `to` exists and `replace` was false: nothing changed
    failed,  // nothing changed
};

// Names the part file that an interrupting signal (Ctrl-C, a termination
// request) removes before the program ends; "" names none. The program then
// ends as the signal would have ended it.
void removeOnInterrupt(const std::string& path);

// Gives the file `from` the name `to` (both in one directory). Without
// `replace`, a file that exists under `to` is kept, even one that appears
// while the call runs.
Placed place(const std::string& from, const std::string& to, bool replace);

}  // namespace dyad::sys
