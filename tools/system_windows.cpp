// Windows implementation of tools/system.h. Every file call is the wide
// (UTF-16) one: the names arrive as UTF-8, and the ANSI calls would read
// them in the code page of the moment.
// clang-format off
#include <windows.h>
#include <shellapi.h>
#include <io.h>
// clang-format on
#include <utf8.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "dyadc.h"
#include "tools/system.h"

namespace dyad::sys {
namespace {

wchar_t interruptedPart[MAX_PATH * 4];
std::atomic<bool> interruptedPartSet{false};

// Runs on a thread of its own when Ctrl-C, Ctrl-Break or closing the console
// ends the program. The part file was opened for sharing its deletion, so it
// goes when the program's handles close.
BOOL WINAPI onInterrupt(DWORD) {
    if (interruptedPartSet.load()) DeleteFileW(interruptedPart);
    return FALSE;  // the default handler ends the program
}

std::string narrow(const wchar_t* text, size_t length) {
    std::string out;
    try {
        utf8::utf16to8(text, text + length, std::back_inserter(out));
    } catch (const utf8::exception&) {
        out.clear();  // a lone surrogate: nothing that can travel
    }
    return out;
}

// The failure that GetLastError() describes, in the system's words.
Failure failureOf(DWORD error) {
    Failure failure;
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    failure.reason = text != nullptr ? narrow(text, length) : "";
    if (text != nullptr) LocalFree(text);
    while (!failure.reason.empty() && std::strchr("\r\n. ", failure.reason.back()) != nullptr) {
        failure.reason.pop_back();
    }
    if (failure.reason.empty()) failure.reason = "Windows error " + std::to_string(error);
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        failure.kind = Failure::exists;
    } else if (error == ERROR_INVALID_NAME || error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_BAD_PATHNAME) {
        failure.kind = Failure::name;
    }
    return failure;
}

}  // namespace

std::vector<std::string> arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) out.push_back(narrow(wide[i], std::wcslen(wide[i])));
    LocalFree(wide);
    return out;
}

std::filesystem::path toPath(const std::string& text) {
    std::wstring wide;
    try {
        utf8::utf8to16(text.begin(), text.end(), std::back_inserter(wide));
    } catch (const utf8::exception&) {
        wide.clear();  // callers check names first; an invalid path is no path
    }
    return wide;
}

std::string toText(const std::filesystem::path& path) {
    return narrow(path.c_str(), path.native().size());
}

bool isTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

std::FILE* openRead(const std::filesystem::path& path) {
    return _wfopen(path.c_str(), L"rb");
}

bool pathTooLong(const std::filesystem::path& path) {
    // Without the \\?\ prefix, which most programs do not use, a path holds
    // at most MAX_PATH characters with its terminator.
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    return length == 0 || length > MAX_PATH;
}

bool NewFile::create(const std::filesystem::path& path, Failure* failure) {
    close();
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *failure = failureOf(GetLastError());
        return false;
    }
    handle_ = handle;
    return true;
}

bool NewFile::write(const void* bytes, size_t length, Failure* failure) {
    const auto* at = static_cast<const char*>(bytes);
    while (length > 0) {
        const DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(handle_, at, chunk, &written, nullptr)) {
            *failure = failureOf(GetLastError());
            return false;
        }
        if (written == 0) {
            *failure = failureOf(ERROR_DISK_FULL);
            return false;
        }
        at += written;
        length -= written;
    }
    return true;
}

bool NewFile::isOpen() const {
    return handle_ != nullptr;
}

bool NewFile::commit(Failure* failure) {
    HANDLE handle = handle_;
    handle_ = nullptr;
    const bool flushed = FlushFileBuffers(handle) != 0;
    if (!flushed) *failure = failureOf(GetLastError());
    CloseHandle(handle);
    return flushed;
}

void NewFile::close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
}

void removeOnInterrupt(const std::filesystem::path& path) {
    static const bool installed = SetConsoleCtrlHandler(onInterrupt, TRUE) != 0;
    (void)installed;
    interruptedPartSet = false;
    const std::wstring& text = path.native();
    if (text.empty() || text.size() >= sizeof interruptedPart / sizeof interruptedPart[0]) return;
    std::memcpy(interruptedPart, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    interruptedPartSet = true;
}

Placed place(const std::filesystem::path& from, const std::filesystem::path& to, bool replace, Failure* failure) {
    // Write-through: the call returns once the new name is on the disk.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(from.c_str(), to.c_str(), flags)) return Placed::placed;
    *failure = failureOf(GetLastError());
    return failure->kind == Failure::exists && !replace ? Placed::exists : Placed::failed;
}

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

}  // namespace dyad::sys
