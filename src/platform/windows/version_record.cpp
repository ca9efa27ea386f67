// What a library file is: its version record, and whether it is a library
// for this system at all.
//
// The version record is the fixed part of the file's VERSIONINFO resource,
// read with GetFileVersionInfoA into 500 bytes and found with VerQueryValueA
// under the root block "\". The fixed part comes first in the resource, so a
// longer resource read in part still yields it.
//
// A library for this system is a PE file marked as a DLL whose machine type
// is that of the running library (its own headers, where Windows loaded it,
// tell it).
#include <cstdio>

#include "platform/windows/win32.h"

// The running image's own DOS header, which the linker places at its base.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace dyadc::platform {
namespace {

constexpr DWORD versionBufferSize = 500;
constexpr DWORD recordSignature = 0xFEEF04BD;

// Reads `count` bytes at `offset`; false when they are not all there.
bool readAt(std::FILE* file, long offset, void* into, size_t count) {
    return std::fseek(file, offset, SEEK_SET) == 0 && std::fread(into, 1, count, file) == count;
}

const char* peMismatch(std::FILE* file) {
    IMAGE_DOS_HEADER dos;
    if (!readAt(file, 0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) {
        return "not a Windows program or DLL";
    }
    DWORD signature = 0;
    IMAGE_FILE_HEADER header;
    if (!readAt(file, dos.e_lfanew, &signature, sizeof signature) || signature != IMAGE_NT_SIGNATURE ||
        !readAt(file, dos.e_lfanew + static_cast<long>(sizeof signature), &header, sizeof header)) {
        return "not a Windows program or DLL";
    }
    const auto* own = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        reinterpret_cast<const unsigned char*>(&__ImageBase) + __ImageBase.e_lfanew);
    if (header.Machine != own->FileHeader.Machine) return "a Windows file for another machine";
    if ((header.Characteristics & IMAGE_FILE_DLL) == 0) return "a program, not a DLL";
    return nullptr;
}

}  // namespace

const char* libraryMismatch(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return "a file that cannot be read";
    const char* why = peMismatch(file);
    (void)std::fclose(file);  // only read from
    return why;
}

int readVersionRecord(const char* path, VersionRecord* record) {
    alignas(8) char resource[versionBufferSize] = {};
    if (GetFileVersionInfoA(path, 0, sizeof resource, resource) != TRUE) return -1;
    void* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueA(resource, "\\", &fixed, &length) != TRUE || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return -1;
    }
    // The record must lie inside what was read.
    const auto* start = static_cast<const char*>(fixed);
    if (start < resource || start + sizeof(VS_FIXEDFILEINFO) > resource + sizeof resource) return -1;
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    if (info->dwSignature != recordSignature) return -1;
    record->fileVersionMost = info->dwFileVersionMS;
    record->fileVersionLeast = info->dwFileVersionLS;
    record->productVersionMost = info->dwProductVersionMS;
    record->productVersionLeast = info->dwProductVersionLS;
    return 0;
}

}  // namespace dyadc::platform
