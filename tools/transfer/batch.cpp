// The batch of dyad receive: the files that passed their checks wait in it
// until it is committed, so that the disk is waited for once per batch rather
// than once per file (receiver.h says when a batch is committed).
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tools/base/names.h"
#include "tools/library/library.h"
#include "tools/transfer/receiver.h"

namespace dyad {

// The checked file joins the batch, which is committed when it is full.
void Receiver::name(const format::Claim& claim) {
    state_ = State::idle;
    Pending pending;
    pending.part = std::move(part_);
    part_ = std::make_unique<PartFile>();
    pending.folder = store_.heldFolder();
    pending.storedFolderPath = store_.storedFolderPath();
    pending.name = name_;
    pending.leaf = leaf_;
    pending.bytes = written_;
    pending.verdict = claim.kind == format::Claim::known ? std::string(claim.format->title) + " verified"
                      : claim.kind == format::Claim::none
                          ? "NOT verified: the sender sent no checksum"
                          : "NOT verified: a checksum that this dyad does not know";
    std::string lowered = pending.storedFolderPath + "/" + leaf_;
    for (char& c : lowered) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    batchNames_.insert(lowered);
    batchFolders_.insert(pending.folder.get());
    batchBytes_ += written_;
    batch_.push_back(std::move(pending));
    if (batch_.size() >= batchFiles || batchBytes_ >= batchBytes || batchFolders_.size() >= batchFolders) {
        commitBatch();
    }
}

// Puts the batch's bytes on the disk at once, gives each file its name (a
// name that reaches a file of this transfer by now is refused), then puts
// each folder's new names on the disk; only then are the files received.
void Receiver::commitBatch() {
    if (batch_.empty() || committing_) return;
    committing_ = true;
    const std::string inProgress = name_;
    std::vector<Pending> batch = std::move(batch_);
    batch_.clear();
    batchNames_.clear();
    batchFolders_.clear();
    batchBytes_ = 0;
    std::vector<const sys::Folder*> folders;
    for (const Pending& pending : batch) {
        if (folders.empty() || folders.back() != pending.folder.get()) folders.push_back(pending.folder.get());
    }
    sys::Failure failure;
    if (!sys::syncFileSystems(folders, &failure)) {
        breakDown("cannot write the received files to the disk in " + options_.dir + ": " + failure.reason);
        name_ = inProgress;
        committing_ = false;
        return;  // the batch's part files are removed with it
    }
    std::vector<const Pending*> placed;
    std::vector<std::string> stored;
    for (Pending& pending : batch) {
        if (broken()) break;
        name_ = pending.name;
        if (const std::string* earlier = store_.earlierArrived(*pending.folder, pending.leaf)) {
            message("refused " + shownName() + ": it would replace " + escaped(*earlier) +
                    ", which arrived earlier in this transfer");
            note(exitFiles);
            continue;
        }
        const sys::Placed result = pending.part->place(pending.leaf, options_.overwrite, &failure, false);
        if (result == sys::Placed::failed && failure.kind == sys::Failure::folder) {
            breakDown("cannot name " + where() + ": " + failure.reason);
            break;
        }
        if (result != sys::Placed::placed) {
            message("refused " + shownName() + ": " +
                    (result == sys::Placed::exists
                         ? "a file of that name appeared in " + options_.dir + " (--overwrite replaces it)"
                         : failure.reason));
            note(exitFiles);
            continue;
        }
        // What the name reaches now is this file: no later name replaces it.
        stored.push_back(store_.arrived(*pending.folder, pending.storedFolderPath, pending.leaf));
        placed.push_back(&pending);
    }
    std::set<const sys::Folder*> synced;
    for (const Pending* pending : placed) {
        if (!synced.insert(pending->folder.get()).second) continue;
        if (!sys::syncFolder(*pending->folder, &failure)) {
            message("cannot write the names of the received files to the disk in " + options_.dir + ": " +
                    failure.reason);
            note(exitFiles);
            state_ = State::broken;
            break;
        }
    }
    for (size_t i = 0; i < placed.size(); ++i) {
        ++files_;
        if (!options_.quiet) {
            std::fprintf(stderr, "%sreceived %s (%s, %s)\n", messageStart(),
                         Store::shownAs(placed[i]->name, stored[i]).c_str(),
                         Progress::size(static_cast<double>(placed[i]->bytes)).c_str(),
                         placed[i]->verdict.c_str());
        }
    }
    name_ = inProgress;
    committing_ = false;
}

}  // namespace dyad
