// The dyadc library that the dyad command loaded, as each operating system
// finds it: its file and version, and the folder where it stores a library
// update. posix/loaded.cpp implements it for Linux, windows/loaded.cpp for
// Windows.
#pragma once

#include <cstdint>
#include <string>

namespace dyad::sys {

// The dyadc library that this process loaded, and the version that its own
// version record gives, read as the library reads its version (Linux: the
// ELF note .note.dyadc.version, here in the loaded image; Windows: the file
// version of the VERSIONINFO resource of the loaded dyadc.dll).
struct LoadedLibrary {
    std::string path;        // its file; empty when the system does not say
    bool versioned = false;  // the version record was found
    uint32_t major = 0;
    uint32_t minor = 0;
};
LoadedLibrary loadedLibrary();

// The folder where the loaded dyadc library keeps its installed file and
// stores a library update that a peer sends (Linux: DYADC_SYSTEM_DIR, or else
// the folder of the loaded library; Windows: the system directory), those
// two files, and whether this process can create a file there.
struct UpdateFolder {
    std::string folder;
    std::string installed;  // libdyadc.so or dyadc.dll there
    std::string stored;     // dyadc.dl_ there
    bool writable = false;
};
UpdateFolder updateFolder();

}  // namespace dyad::sys
