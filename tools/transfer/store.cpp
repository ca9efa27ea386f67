#include "tools/transfer/store.h"

#include "tools/base/names.h"

namespace dyad {

bool Store::openFolder(const std::string& folderPath, sys::Failure* failure) {
    if (folderOpen_ && folderPath == folderPath_) return true;
    folderOpen_ = false;
    const sys::Folder* above = &root_;
    sys::Folder next;
    std::string stored;
    for (size_t start = 0; start < folderPath.size();) {
        size_t end = folderPath.find('/', start);
        if (end == std::string::npos) end = folderPath.size();
        sys::Folder child;
        if (!above->child(folderPath.substr(start, end - start), &child, failure)) return false;
        stored += (stored.empty() ? "" : "/") + child.name();
        next = std::move(child);
        above = &next;
        start = end + 1;
    }
    folder_ = folderPath.empty() ? nullptr : std::make_shared<sys::Folder>(std::move(next));
    folderPath_ = folderPath;
    storedFolderPath_ = stored;
    folderOpen_ = true;
    return true;
}

std::string Store::arrived(const sys::Folder& in, const std::string& storedPath, const std::string& leaf) {
    std::string stored = leaf;
    // Without --overwrite the name was free, so the file is stored under it
    // as sent and there is nothing to remember.
    sys::FileId id;
    if (remember_ && in.identify(leaf, &id, &stored))
        received_[id] = storedPath.empty() ? stored : storedPath + "/" + stored;
    return storedPath.empty() ? stored : storedPath + "/" + stored;
}

const std::string* Store::earlierArrived(const sys::Folder& in, const std::string& leaf) const {
    sys::FileId id;
    std::string stored;
    if (!remember_ || !in.identify(leaf, &id, &stored)) return nullptr;
    const auto found = received_.find(id);
    return found == received_.end() ? nullptr : &found->second;
}

std::string Store::shownAs(const std::string& path, const std::string& stored) {
    return stored == path ? escaped(path) : escaped(path) + " as " + escaped(stored);
}

}  // namespace dyad
