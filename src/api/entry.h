// What the library does when a process loads and unloads it.
#pragma once

#include <cstdint>

namespace dyadc {

// Entry point reasons.
inline constexpr uint32_t reasonProcessDetach = 0;
inline constexpr uint32_t reasonProcessAttach = 1;
inline constexpr uint32_t reasonThreadAttach = 2;
inline constexpr uint32_t reasonThreadDetach = 3;

// The entry point that the platform's load hooks call with the library's
// module handle and a reason. Process attach attaches the Session and runs
// onProcessAttach; process detach runs onProcessDetach and detaches the
// Session; every other reason does nothing. Returns 1 for every reason.
int32_t libraryEntry(void* module, uint32_t reason, void* reserved);

// At load: DYADDEBUG forces the log on; the installed library file's version
// becomes versionText. Never touches the network and never fails.
void onProcessAttach();
// At unload: trims the log file when the log is on.
void onProcessDetach();

// Writes "%d.%02d" of a version's major and minor number into `text`
// (at most size - 1 characters).
void formatVersionText(uint32_t major, uint32_t minor, char* text, unsigned size);

}  // namespace dyadc
