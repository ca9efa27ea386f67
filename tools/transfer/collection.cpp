#include "tools/transfer/collection.h"

#include <algorithm>
#include <map>

#include "tools/base/names.h"
#include "tools/format/encode.h"

namespace dyad {

std::string topName(const std::string& argument) {
    std::error_code error;
    const std::filesystem::path where = sys::toPath(argument);
    const std::filesystem::file_status status = std::filesystem::status(where, error);
    if (std::filesystem::is_directory(status)) {
        std::filesystem::path named = std::filesystem::absolute(where, error).lexically_normal();
        if (!named.has_filename()) named = named.parent_path();
        return sys::toText(named.filename());
    }
    if (std::filesystem::is_regular_file(status)) return sys::toText(where.filename());
    return "";
}

bool Walk::argument(const std::string& argument) const {
    std::error_code error;
    const std::filesystem::path where = sys::toPath(argument);
    // A link named on the command line is followed: the person chose it.
    const std::filesystem::file_status status = std::filesystem::status(where, error);
    if (std::filesystem::is_directory(status)) return folder(where, where, "", topName(argument));
    if (!std::filesystem::is_regular_file(status)) {
        problem(escaped(argument) + " is not a readable file or folder");
        return false;
    }
    return file(Outgoing{sys::toText(where), topName(argument), where, "", false});
}

bool Walk::folder(const std::filesystem::path& where, const std::filesystem::path& root, const std::string& inside,
                  const std::string& name) const {
    const std::string shown = sys::toText(where);
    std::error_code error;
    // One folder's names at a time: the memory of the deepest path's folders.
    // Each entry keeps the type that the folder's listing gave, where the
    // system gives one, so that no entry is looked up again by its path.
    std::vector<std::filesystem::directory_entry> entries;
    for (std::filesystem::directory_iterator it(where, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(*it);
    }
    if (error) {
        problem("cannot read the folder " + escaped(shown) + ": " + error.message());
        return false;
    }
    std::sort(entries.begin(), entries.end());
    bool sent = false;
    for (const std::filesystem::directory_entry& listed : entries) {
        const std::filesystem::path& entry = listed.path();
        const std::string entryName = sys::toText(entry.filename());
        const std::string entryInside = inside.empty() ? entryName : inside + "/" + entryName;
        const std::string entryShown = escaped(sys::toText(entry));
        if (listed.is_symlink(error)) {
            say("skipped " + entryShown + ": a symbolic link");
        } else if (listed.is_directory(error)) {
            sent = folder(entry, root, entryInside, name + "/" + entryName) || sent;
        } else if (listed.is_regular_file(error)) {
            sent = file(Outgoing{sys::toText(entry), name + "/" + entryName, root, entryInside, false}) || sent;
        } else {
            say("skipped " + entryShown + ": not a file or a folder");
        }
    }
    if (sent) return true;
    return emptyFolder(Outgoing{shown, name, root, inside, true});
}

// The receiver refuses what it could not store as it is, whatever its
// system.
std::string refusedName(const Outgoing& entry) {
    const std::string problem = pathProblem(entry.name);
    if (problem.empty()) return "";
    return "the name of " + escaped(entry.path) + " would be refused (" + problem + ")";
}

Collection::Collection(const std::vector<std::string>& arguments) {
    std::map<std::string, int> tops;
    for (const std::string& argument : arguments) ++tops[topName(argument)];
    std::vector<Named> named;
    bool keep = false;  // whether the argument walked shares its top name
    const auto note = [&](const Outgoing& entry) {
        if (keep) named.push_back({entry.name, entry.path, entry.folder});
    };
    Walk walk;
    // A file, opened once as the sending will open it: one that cannot be
    // read stops the command before it pairs.
    walk.file = [&](const Outgoing& entry) {
        sys::FileToSend opened;
        std::string problem;
        if (!opened.open(entry.root, entry.inside, &problem)) {
            problems.push_back(escaped(entry.path) + " cannot be read (" + problem + ")");
            return false;
        }
        const uint64_t size = opened.openedSize();
        const sys::FileTime time = opened.openedTime();
        const std::string refused = refusedName(entry);
        if (!refused.empty()) {
            problems.push_back(refused);
            return false;
        }
        if (!format::timeTravels(time.seconds)) {
            std::fprintf(stderr,
                         "dyad: %s is dated outside the years 1677 to 2262 that a modification time travels "
                         "in; it is sent without its time, and gets the time of its arrival\n",
                         escaped(entry.path).c_str());
        }
        ++files;
        bytes += size;
        note(entry);
        return true;
    };
    walk.emptyFolder = [&](const Outgoing& entry) {
        const std::string refused = refusedName(entry);
        if (!refused.empty()) {
            problems.push_back(refused);
            return false;
        }
        ++folders;
        note(entry);
        return true;
    };
    // What the walk skips is said once, by the sending, which meets it again.
    walk.say = [](const std::string&) {};
    walk.problem = [&](const std::string& problem) { problems.push_back(problem); };
    for (const std::string& argument : arguments) {
        keep = tops[topName(argument)] > 1;
        walk.argument(argument);
    }
    checkClashes(named);
}

// Two files that would arrive under one name, or a file whose name another
// path needs for a folder: the receiver would keep only one. Only arguments
// with one top name can clash, and only their paths are compared.
void Collection::checkClashes(const std::vector<Named>& named) {
    std::map<std::string, const Named*> files;
    std::map<std::string, const Named*> folders;  // the folders of every path
    for (const Named& entry : named) {
        const std::string& name = entry.name;
        for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
            folders.emplace(name.substr(0, slash), &entry);
        }
        if (entry.folder) {
            folders.emplace(name, &entry);
            continue;
        }
        const auto [other, fresh] = files.emplace(name, &entry);
        if (!fresh) {
            problems.push_back(escaped(other->second->path) + " and " + escaped(entry.path) +
                               " would both arrive as " + escaped(name));
        }
    }
    for (const auto& [name, file] : files) {
        const auto folder = folders.find(name);
        if (folder != folders.end()) {
            problems.push_back(escaped(file->path) + " would arrive as " + escaped(name) + ", which " +
                               escaped(folder->second->path) + " needs as a folder");
        }
    }
}

}  // namespace dyad
