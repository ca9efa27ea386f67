// Windows implementation of tools/library/loaded.h.
// clang-format off
#include <windows.h>
// clang-format on

#include <filesystem>
#include <string>
#include <vector>

#include "dyadc.h"
#include "tools/base/system.h"
#include "tools/base/windows/failures.h"
#include "tools/library/loaded.h"

namespace dyad::sys {

LoadedLibrary loadedLibrary() {
    LoadedLibrary library;
    // The module that holds one of the library's functions is the loaded dyadc.dll.
    HMODULE module = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(reinterpret_cast<uintptr_t>(&DyadSetLog)), &module) == 0) {
        return library;
    }
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return library;
    path.resize(length);
    library.path = narrow(path.c_str(), path.size());
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &unused);
    if (size == 0) return library;
    std::vector<char> resource(size);
    if (GetFileVersionInfoW(path.c_str(), 0, size, resource.data()) == 0) return library;
    void* fixed = nullptr;
    UINT fixedLength = 0;
    if (VerQueryValueW(resource.data(), L"\\", &fixed, &fixedLength) == 0 || fixed == nullptr ||
        fixedLength < sizeof(VS_FIXEDFILEINFO)) {
        return library;
    }
    const auto* record = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    if (record->dwSignature != 0xFEEF04BD) return library;
    library.versioned = true;
    library.major = record->dwFileVersionMS;
    library.minor = record->dwFileVersionLS;
    return library;
}

UpdateFolder updateFolder() {
    UpdateFolder found;
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return found;
    const std::filesystem::path path(folder);
    found.folder = toText(path);
    found.installed = toText(path / L"dyadc.dll");
    found.stored = toText(path / L"dyadc.dl_");
    // Whether a file can be made there: one that goes again when it closes.
    HANDLE probe = CreateFileW((path / L"dyad-write-check.tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    found.writable = probe != INVALID_HANDLE_VALUE;
    if (found.writable) CloseHandle(probe);
    return found;
}

}  // namespace dyad::sys
