#include "tools/transfer/collection.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "tools/base/names.h"
#include "tools/format/encode.h"

namespace dyad {

void Collection::add(const std::string& argument) {
    std::error_code error;
    const std::filesystem::path where = sys::toPath(argument);
    // A link named on the command line is followed: the person chose it.
    const std::filesystem::file_status status = std::filesystem::status(where, error);
    if (std::filesystem::is_directory(status)) {
        // The folder's own name, also for "." or a path that ends in a
        // separator.
        std::filesystem::path named = std::filesystem::absolute(where, error).lexically_normal();
        if (!named.has_filename()) named = named.parent_path();
        return addFolder(where, where, "", sys::toText(named.filename()));
    }
    if (!std::filesystem::is_regular_file(status)) {
        problems.push_back(escaped(argument) + " is not a readable file or folder");
        return;
    }
    addFile(where, where, "", sys::toText(where.filename()));
}

void Collection::checkClashes() {
    std::map<std::string, const Outgoing*> named;
    std::map<std::string, const Outgoing*> folders;  // the folders of every path
    for (const Outgoing& file : files) {
        const std::string name = file.folder ? file.name.substr(0, file.name.size() - 1) : file.name;
        for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
            folders.emplace(name.substr(0, slash), &file);
        }
        if (file.folder) {
            folders.emplace(name, &file);
            continue;
        }
        const auto [other, fresh] = named.emplace(name, &file);
        if (!fresh) {
            problems.push_back(escaped(other->second->path) + " and " + escaped(file.path) +
                               " would both arrive as " + escaped(name));
        }
    }
    for (const auto& [name, file] : named) {
        const auto folder = folders.find(name);
        if (folder != folders.end()) {
            problems.push_back(escaped(file->path) + " would arrive as " + escaped(name) + ", which " +
                               escaped(folder->second->path) + " needs as a folder");
        }
    }
}

// A file, opened once as the reader will open it: one that cannot be
// read stops the command before it pairs.
void Collection::addFile(const std::filesystem::path& where, const std::filesystem::path& root,
                         const std::string& inside, const std::string& name) {
    const std::string shown = sys::toText(where);
    Outgoing file{shown, name, root, inside, 0, false, {}};
    sys::FileToSend opened;
    std::string problem = "its size and time cannot be read";
    sys::FileTime time;
    if (!opened.open(root, inside, &problem) || !opened.state(&file.size, &time)) {
        problems.push_back(escaped(shown) + " cannot be read (" + problem + ")");
        return;
    }
    if (format::timeTravels(time.seconds)) {
        file.modified = time;
    } else {
        std::fprintf(stderr,
                     "dyad: %s is dated outside the years 1677 to 2262 that a modification time travels "
                     "in; it is sent without its time, and gets the time of its arrival\n",
                     escaped(shown).c_str());
    }
    if (!checkName(file)) return;
    total += file.size;
    files.push_back(std::move(file));
}

// Adds what is under the folder `where`, which lies at `inside` in the
// folder `root` named on the command line, in the order of the names; a
// folder that yields nothing to send travels as a folder of its own.
void Collection::addFolder(const std::filesystem::path& where, const std::filesystem::path& root,
                           const std::string& inside, const std::string& name) {
    const size_t before = files.size();
    const std::string shown = sys::toText(where);
    std::error_code error;
    std::vector<std::filesystem::path> entries;
    for (std::filesystem::directory_iterator it(where, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path());
    }
    if (error) {
        problems.push_back("cannot read the folder " + escaped(shown) + ": " + error.message());
        return;
    }
    std::sort(entries.begin(), entries.end());
    for (const std::filesystem::path& entry : entries) {
        const std::string entryName = sys::toText(entry.filename());
        const std::string entryInside = inside.empty() ? entryName : inside + "/" + entryName;
        const std::string entryShown = escaped(sys::toText(entry));
        const std::filesystem::file_status status = std::filesystem::symlink_status(entry, error);
        if (std::filesystem::is_symlink(status)) {
            std::fprintf(stderr, "dyad: skipped %s: a symbolic link\n", entryShown.c_str());
        } else if (std::filesystem::is_directory(status)) {
            addFolder(entry, root, entryInside, name + "/" + entryName);
        } else if (std::filesystem::is_regular_file(status)) {
            addFile(entry, root, entryInside, name + "/" + entryName);
        } else {
            std::fprintf(stderr, "dyad: skipped %s: not a file or a folder\n", entryShown.c_str());
        }
    }
    if (files.size() == before) {
        Outgoing folder{shown, name + "/", root, inside, 0, true, {}};
        if (checkName(folder)) files.push_back(std::move(folder));
    }
}

// The receiver refuses what it could not store as it is, whatever its
// system.
bool Collection::checkName(const Outgoing& file) {
    const std::string path = file.folder ? file.name.substr(0, file.name.size() - 1) : file.name;
    const std::string problem = pathProblem(path);
    if (problem.empty()) return true;
    problems.push_back("the name of " + escaped(file.path) + " would be refused (" + problem + ")");
    return false;
}

}  // namespace dyad
