// The version record of a library file: the fixed part of its VERSIONINFO
// resource, read with GetFileVersionInfoA into 500 bytes and found with
// VerQueryValueA under the root block "\". The fixed part comes first in the
// resource, so a longer resource read in part still yields it.
#include "platform/windows/win32.h"

namespace dyadc::platform {
namespace {

constexpr DWORD versionBufferSize = 500;
constexpr DWORD recordSignature = 0xFEEF04BD;

}  // namespace

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
