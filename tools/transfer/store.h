// The receiving folder of dyad receive and what this transfer stored in it.
// The folders of a path are made inside the receiving folder, each reached
// from the one above it and never through a link, and no name replaces a
// file that arrived earlier in the same transfer (on Windows, names that
// differ in case only name one file). Without --overwrite no name replaces
// any file, so the files that arrived are remembered only with it: the
// store's memory does not grow with the number of files otherwise.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "tools/base/system.h"

namespace dyad {

class Store {
public:
    // `remember`: whether names may replace files (--overwrite), so that the
    // files of this transfer must be remembered to be kept.
    Store(const sys::Folder& root, bool remember) : root_(root), remember_(remember) {}

    // Opens the folder at `folderPath` inside the receiving folder ("": the
    // receiving folder itself), making the folders that are missing; false
    // with `failure` set when a folder cannot be made or opened. The folder
    // of the previous file stays open for the next one in it.
    bool openFolder(const std::string& folderPath, sys::Failure* failure);
    // The folder opened last, and the names its folders have on the disk.
    const sys::Folder& folder() const { return folderPath_.empty() ? root_ : *folder_; }
    // The same, held for as long as the caller needs it (the receiving
    // folder outlives the store).
    std::shared_ptr<const sys::Folder> heldFolder() const {
        return folderPath_.empty() ? std::shared_ptr<const sys::Folder>(std::shared_ptr<void>(), &root_) : folder_;
    }
    const std::string& storedFolderPath() const { return storedFolderPath_; }

    // The path of the file of this transfer that the name `leaf` of `in`
    // reaches, or null when it reaches none: always null without
    // --overwrite, where no file is remembered, and then without a look at
    // the disk.
    const std::string* earlierArrived(const sys::Folder& in, const std::string& leaf) const;
    // The file `leaf` of folder() (or of `in`, whose folders are stored as
    // `storedPath`) arrived: no later name replaces it. Returns the path it
    // is stored under.
    std::string arrived(const std::string& leaf) { return arrived(folder(), storedFolderPath_, leaf); }
    std::string arrived(const sys::Folder& in, const std::string& storedPath, const std::string& leaf);

    // How a message names a path that the system stores as `stored` (on
    // Windows, a folder reached under another case keeps its own).
    static std::string shownAs(const std::string& path, const std::string& stored);

private:
    const sys::Folder& root_;
    const bool remember_;
    // The folder of the file in progress (or of the one before it), inside
    // root_; "" is root_ itself.
    std::string folderPath_;
    std::string storedFolderPath_;
    std::shared_ptr<sys::Folder> folder_;
    bool folderOpen_ = false;
    // The files that arrived in this transfer, by what their names reach,
    // with the paths they are stored under.
    std::map<sys::FileId, std::string> received_;
};

}  // namespace dyad
