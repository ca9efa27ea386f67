// The library's entry point on this platform: a constructor and a destructor
// of the shared object call it with process attach and process detach.
// Thread attach and detach are never delivered here.
#include <dlfcn.h>

#include "api/entry.h"

namespace {

void* moduleHandle() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&moduleHandle), &info) == 0) return nullptr;
    return info.dli_fbase;
}

__attribute__((constructor)) void libraryLoaded() {
    dyadc::libraryEntry(moduleHandle(), dyadc::reasonProcessAttach, nullptr);
}

__attribute__((destructor)) void libraryUnloaded() {
    dyadc::libraryEntry(moduleHandle(), dyadc::reasonProcessDetach, nullptr);
}

}  // namespace
