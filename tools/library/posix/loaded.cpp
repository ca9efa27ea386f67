// Linux implementation of tools/library/loaded.h.
#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "dyadc.h"
#include "tools/base/system.h"
#include "tools/library/loaded.h"

namespace dyad::sys {

namespace {

// The library's version note: the name "DYADC" and type 1; its record starts
// with the signature and holds the file version's most and least significant
// halves (the major and the minor number) in its third and fourth words.
constexpr char versionNoteName[] = "DYADC";
constexpr uint32_t versionNoteType = 1;
constexpr uint32_t versionSignature = 0xFEEF04BD;

struct NoteSearch {
    uintptr_t inside;  // an address inside the library
    LoadedLibrary* library;
};

// Looks for the version note among the notes of one segment, each padded to
// `alignment` bytes.
void readVersionNote(const uint8_t* notes, size_t size, size_t alignment, LoadedLibrary* library) {
    const auto padded = [alignment](size_t length) { return (length + alignment - 1) / alignment * alignment; };
    for (size_t at = 0; size - at >= sizeof(ElfW(Nhdr));) {
        ElfW(Nhdr) header;
        std::memcpy(&header, notes + at, sizeof header);
        const size_t name = at + sizeof header;
        if (padded(header.n_namesz) > size - name) return;
        const size_t record = name + padded(header.n_namesz);
        if (padded(header.n_descsz) > size - record) return;
        uint32_t words[4];
        if (header.n_type == versionNoteType && header.n_namesz == sizeof versionNoteName &&
            std::memcmp(notes + name, versionNoteName, sizeof versionNoteName) == 0 &&
            header.n_descsz >= sizeof words) {
            std::memcpy(words, notes + record, sizeof words);
            if (words[0] == versionSignature) {
                library->versioned = true;
                library->major = words[2];
                library->minor = words[3];
                return;
            }
        }
        at = record + padded(header.n_descsz);
    }
}

// For dl_iterate_phdr: reads the notes of the loaded object that holds the
// address searched for, and stops there.
int searchObject(dl_phdr_info* object, size_t, void* data) {
    auto* search = static_cast<NoteSearch*>(data);
    bool holds = false;
    for (ElfW(Half) i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = object->dlpi_phdr[i];
        const uintptr_t start = object->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && search->inside >= start && search->inside - start < segment.p_memsz) {
            holds = true;
        }
    }
    if (!holds) return 0;
    for (ElfW(Half) i = 0; i < object->dlpi_phnum && !search->library->versioned; ++i) {
        const ElfW(Phdr)& segment = object->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) continue;
        // The loader gives the object's place in memory as a number.
        const auto* notes = reinterpret_cast<const uint8_t*>(object->dlpi_addr + segment.p_vaddr);  // NOLINT
        readVersionNote(notes, segment.p_memsz, segment.p_align == 8 ? 8 : 4, search->library);
    }
    return 1;
}

}  // namespace

LoadedLibrary loadedLibrary() {
    LoadedLibrary library;
    // One of the library's functions: its address lies in the loaded library.
    NoteSearch search{reinterpret_cast<uintptr_t>(&DyadSetLog), &library};
    Dl_info found{};
    if (dladdr(reinterpret_cast<const void*>(&DyadSetLog), &found) != 0 && found.dli_fname != nullptr) {
        library.path = found.dli_fname;
    }
    dl_iterate_phdr(searchObject, &search);
    return library;
}

UpdateFolder updateFolder() {
    UpdateFolder found;
    const char* chosen = std::getenv("DYADC_SYSTEM_DIR");
    found.folder = chosen != nullptr && chosen[0] != '\0'
                       ? std::string(chosen)
                       : std::filesystem::path(loadedLibrary().path).parent_path().string();
    found.installed = found.folder + "/libdyadc.so";
    found.stored = found.folder + "/dyadc.dl_";
    found.writable = !found.folder.empty() && access(found.folder.c_str(), W_OK | X_OK) == 0;
    return found;
}

}  // namespace dyad::sys
