// What a library file is: its version record, and whether it is a library
// for this system at all.
//
// The version record is an ELF note in the section ".note.dyadc.version",
// note name "DYADC", whose descriptor is a fixed record that starts with the
// signature 0xFEEF04BD and holds the file and product versions as most and
// least significant 32-bit halves. The reader walks the ELF section headers
// through bounded reads of at most a few hundred bytes at a time, checks
// every offset and size against the file, and reads nothing into the heap.
// ELF files of both classes in this machine's byte order are understood;
// anything else has no record.
//
// A library for this system is an ELF shared object of the class, byte order
// and machine of the library that is running (its own header, mapped where
// the loader placed it, tells them), without a program interpreter.
#include "platform/posix/posix.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cstring>

namespace dyadc::platform {
namespace {

constexpr char sectionName[] = ".note.dyadc.version";
constexpr char noteName[] = "DYADC";
constexpr uint32_t recordSignature = 0xFEEF04BD;
// The note section is read into a buffer of this size; a longer section is
// read up to it.
constexpr size_t noteBufferSize = 500;

// Reads bytes at an offset from a file or from memory; false when the bytes
// are not all there.
struct Source {
    int file = -1;
    const uint8_t* bytes = nullptr;
    size_t length = 0;

    bool read(uint64_t offset, void* into, size_t count) const {
        if (bytes != nullptr) {
            if (offset > length || count > length - offset) return false;
            std::memcpy(into, bytes + offset, count);
            return true;
        }
        size_t done = 0;
        while (done < count) {
            ssize_t got = ::pread(file, static_cast<uint8_t*>(into) + done, count - done,
                                  static_cast<off_t>(offset + done));
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }
};

uint32_t word(const uint8_t* bytes) {
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// Finds the DYADC note in the bytes of a note section that starts at file
// offset `sectionOffset`.
int parseNotes(const uint8_t* notes, size_t size, uint64_t sectionOffset, VersionRecord* record,
               long* recordOffset) {
    size_t at = 0;
    while (size - at >= 12) {
        uint32_t nameSize = word(notes + at);
        uint32_t descSize = word(notes + at + 4);
        size_t nameStart = at + 12;
        size_t paddedName = (static_cast<size_t>(nameSize) + 3) & ~size_t{3};
        if (paddedName > size - nameStart) return -1;
        size_t descStart = nameStart + paddedName;
        size_t paddedDesc = (static_cast<size_t>(descSize) + 3) & ~size_t{3};
        if (paddedDesc > size - descStart) return -1;
        if (nameSize == sizeof noteName && std::memcmp(notes + nameStart, noteName, sizeof noteName) == 0 &&
            descSize >= 24 && word(notes + descStart) == recordSignature) {
            record->fileVersionMost = word(notes + descStart + 8);
            record->fileVersionLeast = word(notes + descStart + 12);
            record->productVersionMost = word(notes + descStart + 16);
            record->productVersionLeast = word(notes + descStart + 20);
            if (recordOffset != nullptr) *recordOffset = static_cast<long>(sectionOffset + descStart);
            return 0;
        }
        at = descStart + paddedDesc;
    }
    return -1;
}

template <typename Header, typename Section>
int parseElf(const Source& source, VersionRecord* record, long* recordOffset) {
    Header header;
    if (!source.read(0, &header, sizeof header)) return -1;
    if (header.e_shentsize != sizeof(Section) || header.e_shnum == 0 || header.e_shstrndx >= header.e_shnum) {
        return -1;
    }
    Section names;
    if (!source.read(header.e_shoff + uint64_t{header.e_shstrndx} * sizeof(Section), &names, sizeof names)) {
        return -1;
    }
    for (uint32_t index = 0; index < header.e_shnum; ++index) {
        Section section;
        if (!source.read(header.e_shoff + uint64_t{index} * sizeof(Section), &section, sizeof section)) {
            return -1;
        }
        if (section.sh_type != SHT_NOTE || section.sh_name >= names.sh_size) continue;
        char name[sizeof sectionName] = {};
        size_t available = static_cast<size_t>(names.sh_size - section.sh_name);
        size_t want = available < sizeof name ? available : sizeof name;
        if (!source.read(names.sh_offset + section.sh_name, name, want)) continue;
        if (want != sizeof name || std::memcmp(name, sectionName, sizeof name) != 0) continue;
        uint8_t notes[noteBufferSize];
        size_t size = section.sh_size < sizeof notes ? static_cast<size_t>(section.sh_size) : sizeof notes;
        if (!source.read(section.sh_offset, notes, size)) return -1;
        return parseNotes(notes, size, section.sh_offset, record, recordOffset);
    }
    return -1;
}

int parse(const Source& source, VersionRecord* record, long* recordOffset) {
    unsigned char ident[EI_NIDENT];
    if (!source.read(0, ident, sizeof ident)) return -1;
    if (std::memcmp(ident, ELFMAG, SELFMAG) != 0) return -1;
    const unsigned char nativeOrder = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
    if (ident[EI_DATA] != nativeOrder) return -1;
    if (ident[EI_CLASS] == ELFCLASS64) return parseElf<Elf64_Ehdr, Elf64_Shdr>(source, record, recordOffset);
    if (ident[EI_CLASS] == ELFCLASS32) return parseElf<Elf32_Ehdr, Elf32_Shdr>(source, record, recordOffset);
    return -1;
}

// Any function of the library serves to find the image it was loaded from.
void locateImage() {}

// The running library's machine, from its own ELF header; EM_NONE when it
// cannot be found.
uint16_t ownMachine() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&locateImage), &info) == 0 || info.dli_fbase == nullptr) return EM_NONE;
    const auto* header = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0) return EM_NONE;
    return header->e_machine;
}

// An ELF file of the running library's own class and byte order, judged by
// its header and program headers.
const char* ownClassMismatch(const Source& source) {
    ElfW(Ehdr) header;
    if (!source.read(0, &header, sizeof header)) return "a cut ELF file";
    const uint16_t machine = ownMachine();
    if (machine == EM_NONE || header.e_machine != machine) return "an ELF file for another machine";
    if (header.e_type == ET_EXEC) return "a program, not a library";
    if (header.e_type != ET_DYN) return "an ELF file that is no shared library";
    if (header.e_phnum > 0 && header.e_phentsize != sizeof(ElfW(Phdr))) return "a damaged ELF file";
    for (uint32_t index = 0; index < header.e_phnum; ++index) {
        ElfW(Phdr) program;
        if (!source.read(header.e_phoff + uint64_t{index} * sizeof program, &program, sizeof program)) {
            return "a cut ELF file";
        }
        if (program.p_type == PT_INTERP) return "a program, not a library";
    }
    return nullptr;
}

}  // namespace

const char* libraryMismatch(const char* path) {
    Source source;
    source.file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (source.file < 0) return "a file that cannot be read";
    unsigned char ident[EI_NIDENT];
    const char* why = nullptr;
    if (!source.read(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
        why = "not an ELF file";
    } else if (ident[EI_CLASS] != ELFCLASS64 && ident[EI_CLASS] != ELFCLASS32) {
        why = "a damaged ELF file";
    } else if (ident[EI_CLASS] != (sizeof(ElfW(Addr)) == 8 ? ELFCLASS64 : ELFCLASS32) ||
               ident[EI_DATA] != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB)) {
        why = "an ELF file of another word size or byte order";
    } else {
        why = ownClassMismatch(source);
    }
    ::close(source.file);
    return why;
}

int readVersionRecord(const char* path, VersionRecord* record) {
    Source source;
    source.file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (source.file < 0) return -1;
    int result = parse(source, record, nullptr);
    ::close(source.file);
    return result;
}

int parseVersionRecord(const uint8_t* bytes, size_t length, VersionRecord* record, long* recordOffset) {
    Source source;
    source.bytes = bytes;
    source.length = length;
    return parse(source, record, recordOffset);
}

}  // namespace dyadc::platform
