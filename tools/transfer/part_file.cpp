#include "tools/transfer/part_file.h"

#include <cstdio>
#include <vector>

#include "tools/base/checksum.h"

namespace dyad {

bool PartFile::create(const sys::Folder& folder, const std::string& leaf, std::mt19937& random,
                      sys::Failure* failure) {
    discard();
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%08x.dyad-part", static_cast<unsigned>(random()));
        const std::string name = "." + leaf + suffix;
        if (file_.create(folder, name, failure)) {
            folder_ = &folder;
            name_ = name;
            interruptSlot_ = sys::removeOnInterrupt(folder, name_);
            return true;
        }
        if (failure->kind != sys::Failure::exists) break;  // not a name taken by chance
    }
    return false;
}

bool PartFile::hash(Checksum kind, uint64_t length, std::string* digits) const {
    if (folder_ == nullptr) return false;
    std::FILE* in = folder_->openRead(name_);
    if (in == nullptr) return false;
    std::setvbuf(in, nullptr, _IONBF, 0);
    FileHash hash(kind);
    std::vector<uint8_t> bytes(1u << 20);
    uint64_t read = 0;
    size_t got = 0;
    while ((got = std::fread(bytes.data(), 1, bytes.size(), in)) > 0) {
        hash.update(bytes.data(), got);
        read += got;
    }
    const bool whole = std::ferror(in) == 0 && read == length;
    std::fclose(in);
    if (whole) *digits = hash.finish();
    return whole;
}

sys::Placed PartFile::place(const std::string& leaf, bool replace, sys::Failure* failure, bool sync) {
    if (folder_ == nullptr) return sys::Placed::failed;
    const sys::Placed placed = sys::place(*folder_, name_, leaf, replace, failure, sync);
    if (placed == sys::Placed::placed) {
        folder_ = nullptr;
        sys::forgetOnInterrupt(interruptSlot_);
        interruptSlot_ = -1;
    } else {
        discard();
    }
    return placed;
}

void PartFile::discard() {
    file_.close();
    if (folder_ == nullptr) return;
    folder_->remove(name_);
    sys::forgetOnInterrupt(interruptSlot_);
    interruptSlot_ = -1;
    folder_ = nullptr;
}

}  // namespace dyad
