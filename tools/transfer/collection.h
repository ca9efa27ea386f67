// What dyad send sends: the files and empty folders that the command line
// names, each checked before the pairing: its name, that it can be opened
// and read, and that no two files would arrive under one name. A folder
// travels as the files under it, each named by its path from the folder's
// own name, and a block for each folder that holds nothing to send; symbolic
// links inside it are skipped, never followed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/base/system.h"

namespace dyad {

// A file or an empty folder to send.
struct Outgoing {
    std::string path;  // where it is here, for messages
    std::string name;  // its name or path on the wire; a folder's ends with '/'
    // How it is opened: the file or folder named on the command line, and
    // the path below that folder ("" for what was named itself).
    std::filesystem::path root;
    std::string inside;
    uint64_t size = 0;
    bool folder = false;
    std::optional<sys::FileTime> modified;
};

// What the command line names, as the files and empty folders to send; the
// paths that a receiver would refuse or that cannot be read go to
// `problems`, and what is skipped is said on the way.
class Collection {
public:
    std::vector<Outgoing> files;
    std::vector<std::string> problems;
    uint64_t total = 0;

    void add(const std::string& argument);
    // Two files that would arrive under one name, or a file whose name
    // another path needs for a folder: the receiver would keep only one.
    void checkClashes();

private:
    void addFile(const std::filesystem::path& where, const std::filesystem::path& root, const std::string& inside,
                 const std::string& name);
    void addFolder(const std::filesystem::path& where, const std::filesystem::path& root,
                   const std::string& inside, const std::string& name);
    bool checkName(const Outgoing& file);
};

}  // namespace dyad
