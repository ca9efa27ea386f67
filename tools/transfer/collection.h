// What dyad send sends: the files and empty folders that the command line
// names. A folder travels as the files under it, each named by its path from
// the folder's own name, and a record for each folder that holds nothing to
// send; symbolic links inside it are skipped, never followed.
//
// The tree is walked twice in the same order, and neither walk keeps a list
// of the files, so that memory stays the same for any number of them: the
// check before the pairing (Collection) opens every file as the sending will,
// applies the receiver's name rule to every path, counts the files and their
// bytes, and finds names that two arguments would both send; the sending
// (reader.h) walks again and reads each file as it comes to it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/base/system.h"

namespace dyad {

// A file or an empty folder to send, as a walk meets it.
struct Outgoing {
    std::string path;  // where it is here, for messages
    std::string name;  // its path on the wire (folder names and its own name, joined by '/')
    // How it is opened: the file or folder named on the command line, and
    // the path below that folder ("" for what was named itself).
    std::filesystem::path root;
    std::string inside;
    bool folder = false;
};

// Walks what one argument of the command line names, in the order that it is
// sent: the entries of each folder sorted by name, a folder's files before
// the entries after it. `file` is called for each regular file and returns
// whether it is sent; `emptyFolder` for each folder in which nothing is
// sent, after its entries, and returns the same. `say` gets what is skipped
// on the way (links, devices) and `problem` what stops the argument (it is
// not a file or folder, a folder cannot be read). Returns whether anything
// under the argument is sent.
struct Walk {
    std::function<bool(const Outgoing&)> file;
    std::function<bool(const Outgoing&)> emptyFolder;
    std::function<void(const std::string&)> say;
    std::function<void(const std::string&)> problem;

    bool argument(const std::string& argument) const;

private:
    bool folder(const std::filesystem::path& where, const std::filesystem::path& root, const std::string& inside,
                const std::string& name) const;
};

// The name that the argument's files and folders begin with: a file's own
// name, a folder's own name (also for "." or a path that ends in a
// separator); empty when the argument is neither.
std::string topName(const std::string& argument);

// The check before the pairing: what the command line names, counted, with
// the paths that a receiver would refuse, that cannot be read, or that two
// arguments would both send in `problems`; what is skipped is said on the
// way.
class Collection {
public:
    std::vector<std::string> problems;
    uint64_t files = 0;    // files to send
    uint64_t folders = 0;  // empty folders to send
    uint64_t bytes = 0;    // their bytes

    explicit Collection(const std::vector<std::string>& arguments);

private:
    // A path of an argument that shares its top name with another: only
    // those can arrive under one name, and only those are kept to compare.
    struct Named {
        std::string name;
        std::string path;
        bool folder;
    };
    void checkClashes(const std::vector<Named>& named);
};

// The receiver's name rule for what a walk met: "" when its path is stored,
// else the message that says why not.
std::string refusedName(const Outgoing& entry);

}  // namespace dyad
