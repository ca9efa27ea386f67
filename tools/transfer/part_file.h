// A received file's bytes on their way to its name: a part file of its own
// beside the target, which no other file ever has the name of. Whatever ends
// it before it has its name (a refusal, a failed check, a failed write or
// commit, the end of the receive) removes it and takes back its removal on
// an interrupting signal, in one place: discard(), which the destructor
// calls too.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "tools/base/system.h"
#include "tools/format/format.h"

namespace dyad {

class PartFile {
public:
    PartFile() = default;
    ~PartFile() { discard(); }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    // Creates the part file of the file `leaf` in `folder`, which outlives
    // it: ".LEAF.XXXXXXXX.dyad-part" with a random suffix, another one while
    // the name is taken (16 at most). False when none could be made
    // (`failure` says why).
    bool create(const sys::Folder& folder, const std::string& leaf, std::mt19937& random, sys::Failure* failure);
    // Whether there is a part file (until it is placed or discarded).
    bool exists() const { return folder_ != nullptr; }

    bool write(const uint8_t* bytes, size_t length, sys::Failure* failure) {
        return file_.write(bytes, length, failure);
    }
    bool setModified(const sys::FileTime& time, sys::Failure* failure) { return file_.setModified(time, failure); }
    // Waits until its bytes are on the disk and closes it; the part file stays
    // until it is placed or discarded.
    bool commit(sys::Failure* failure) { return file_.commit(failure); }
    // Closes it after the last write, for a batch that syncFileSystems()
    // puts on the disk at once; the part file stays until it is placed or
    // discarded.
    bool finish(sys::Failure* failure) { return file_.finish(failure); }
    // The checksum `kind` of the committed part file read back from the disk,
    // into `digits`; false when it could not be read whole (`length` bytes).
    bool hash(Checksum kind, uint64_t length, std::string* digits) const;
    // Gives the committed part file the name `leaf`; a part file that did not
    // get it is discarded. Either way nothing is left to remove. Without
    // `sync`, sys::syncFolder() puts the name on the disk later.
    sys::Placed place(const std::string& leaf, bool replace, sys::Failure* failure, bool sync = true);
    // Closes and removes the part file, if there is one.
    void discard();

private:
    const sys::Folder* folder_ = nullptr;
    std::string name_;
    int interruptSlot_ = -1;
    sys::NewFile file_;
};

}  // namespace dyad
