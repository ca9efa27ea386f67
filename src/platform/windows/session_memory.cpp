// The Session's shared memory: a data section of dyadc.dll that Windows
// shares between every process that loads the library. It holds the bytes
// of the shared region and a state word. The section takes its contents from
// the file when the first process loads the library and is discarded when the
// last one unloads it, so the state word is 0 exactly when no other process
// holds the memory, even after a process crashed:
//   0  nobody has attached since the section was made;
//   1  the first process to attach is copying the initial values;
//   2  the initial values are in place.
// Only constant-initialised data may live in the section: a dynamic
// initialiser would run again in every process that loads the library.
//
// A program that links the library's code itself gets a section of its own,
// shared between its own running copies.
#include <cstring>

#include "platform/windows/win32.h"

namespace dyadc::platform {
namespace {

constexpr char sectionName[] = ".dyadc";
constexpr uint32_t sectionCapacity = 4096;
constexpr LONG stateFresh = 0;
constexpr LONG stateCopying = 1;
constexpr LONG stateReady = 2;
// How long an attach waits for another process to finish the initial values
// before it writes them itself (that process can only have died meanwhile).
constexpr int64_t copyWaitMilliseconds = 2000;

struct SharedSection {
    volatile LONG state;
    uint32_t layout;
    uint32_t size;
    uint32_t reserved;
    alignas(16) unsigned char bytes[sectionCapacity];
};

__attribute__((section(".dyadc"), shared)) SharedSection sharedSection = {0, 0, 0, 0, {0}};

// This process's own block when the section cannot serve, and the computer
// name that names the workstation in messages.
alignas(16) unsigned char privateBlock[sectionCapacity];
char workstation[MAX_COMPUTERNAME_LENGTH + 1] = "dyadc";
HMODULE peekedModule = nullptr;

SharedMemory privateMemory(uint32_t size, const void* initialValues, int32_t reason) {
    if (size > sizeof privateBlock) return SharedMemory{nullptr, false, false, reason};
    std::memcpy(privateBlock, initialValues, size);
    return SharedMemory{privateBlock, true, false, reason};
}

// The section in a loaded image of the library, found through its section
// table.
SharedSection* sectionOf(HMODULE module) {
    auto* base = reinterpret_cast<unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (headers->Signature != IMAGE_NT_SIGNATURE) return nullptr;
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
    for (WORD i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section) {
        if (std::strncmp(reinterpret_cast<const char*>(section->Name), sectionName, IMAGE_SIZEOF_SHORT_NAME) ==
                0 &&
            section->Misc.VirtualSize >= sizeof(SharedSection)) {
            return reinterpret_cast<SharedSection*>(base + section->VirtualAddress);
        }
    }
    return nullptr;
}

}  // namespace

const char* workstationName() {
    return workstation;
}

SharedMemory attachSharedMemory(uint32_t size, uint32_t layout, const void* initialValues) {
    DWORD length = sizeof workstation;
    if (GetComputerNameA(workstation, &length) == 0) std::strcpy(workstation, "dyadc");
    if (size > sectionCapacity) return privateMemory(size, initialValues, sharedMemoryReasonSystem);

    SharedSection& section = sharedSection;
    bool initialised = false;
    if (InterlockedCompareExchange(&section.state, stateCopying, stateFresh) == stateFresh) {
        initialised = true;
    } else {
        const int64_t giveUp = monotonicMilliseconds() + copyWaitMilliseconds;
        while (InterlockedCompareExchange(&section.state, stateReady, stateReady) != stateReady) {
            if (monotonicMilliseconds() > giveUp &&
                InterlockedCompareExchange(&section.state, stateCopying, stateCopying) == stateCopying) {
                initialised = true;
                break;
            }
            Sleep(1);
        }
    }
    if (initialised) {
        std::memcpy(section.bytes, initialValues, size);
        section.layout = layout;
        section.size = size;
        InterlockedExchange(&section.state, stateReady);
    } else if (section.layout != layout || section.size != size) {
        return privateMemory(size, initialValues, sharedMemoryReasonLayout);
    }
    return SharedMemory{section.bytes, initialised, true, 0};
}

void detachSharedMemory() {
    // The section goes with the last process that unloads the library.
}

void* peekSharedMemory(const char* /*name*/, uint32_t size, uint32_t layout) {
    // There is one workstation per computer here: the loaded library's. The
    // viewer loads it too, and so holds the memory while it looks at it.
    if (peekedModule != nullptr) return nullptr;
    HMODULE module = LoadLibraryA(installedLibraryName);
    if (module == nullptr) return nullptr;
    SharedSection* section = sectionOf(module);
    if (section == nullptr || section->state != stateReady || section->layout != layout || section->size != size) {
        FreeLibrary(module);
        return nullptr;
    }
    peekedModule = module;
    return section->bytes;
}

void unmapSharedMemory(void* data, uint32_t /*size*/) {
    if (data == nullptr || peekedModule == nullptr) return;
    FreeLibrary(peekedModule);
    peekedModule = nullptr;
}

}  // namespace dyadc::platform
