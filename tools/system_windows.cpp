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

// FILETIME counts 100-nanosecond ticks since 1601-01-01 UTC.
constexpr uint64_t ticksPerSecond = 10000000;
constexpr int64_t epochDifference = 11644473600;  // seconds from 1601 to 1970

// The path by which the system reached the open file or folder, "" when it
// does not say.
std::wstring finalPath(HANDLE handle) {
    std::wstring path(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0 || length >= path.size()) return L"";
    path.resize(length);
    return path;
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

bool pathTooLong(const std::filesystem::path& path) {
    // Without the \\?\ prefix, which most programs do not use, a path holds
    // at most MAX_PATH characters with its terminator.
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    return length == 0 || length > MAX_PATH;
}

bool FileToSend::open(const std::filesystem::path& root, const std::string& inside, std::string* problem) {
    close();
    // Sharing writes: a file that another program writes to is still sent,
    // and the check of its size and time after reading tells whether it
    // changed. A folder opens too (backup semantics), and is refused below.
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN;
    std::filesystem::path path = root;
    std::wstring expected;
    if (!inside.empty()) {
        // The folder as the system reaches it: the file must be reached at
        // that path and its own names, through no link or junction.
        HANDLE folder = CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES, share | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (folder == INVALID_HANDLE_VALUE) {
            *problem = failureOf(GetLastError()).reason;
            return false;
        }
        expected = finalPath(folder);
        CloseHandle(folder);
        std::wstring below = toPath(inside).native();
        for (wchar_t& c : below) c = c == L'/' ? L'\\' : c;
        path /= below;
        expected += (expected.empty() || expected.back() == L'\\' ? L"" : L"\\") + below;
    }
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                flags | (inside.empty() ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *problem = failureOf(GetLastError()).reason;
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const std::wstring reached = inside.empty() ? std::wstring() : finalPath(handle);
    if (GetFileInformationByHandle(handle, &information) == 0) {
        *problem = failureOf(GetLastError()).reason;
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        *problem = "a symbolic link or a junction";
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *problem = "a folder";
    } else if (GetFileType(handle) != FILE_TYPE_DISK) {
        *problem = "not a regular file";
    } else if (!inside.empty() &&
               (reached.empty() || expected.empty() ||
                CompareStringOrdinal(reached.c_str(), static_cast<int>(reached.size()), expected.c_str(),
                                     static_cast<int>(expected.size()), TRUE) != CSTR_EQUAL)) {
        *problem = "reached through a symbolic link or a junction";
    } else {
        handle_ = handle;
        return true;
    }
    CloseHandle(handle);
    return false;
}

bool FileToSend::state(uint64_t* size, FileTime* time) const {
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(handle_, &information) == 0) return false;
    *size = (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    const uint64_t ticks = (static_cast<uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32) |
                           information.ftLastWriteTime.dwLowDateTime;
    time->seconds = static_cast<int64_t>(ticks / ticksPerSecond) - epochDifference;
    time->nanoseconds = static_cast<uint32_t>(ticks % ticksPerSecond) * 100;
    return true;
}

int64_t FileToSend::read(void* bytes, size_t length, std::string* problem) {
    const DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD got = 0;
    if (ReadFile(handle_, bytes, chunk, &got, nullptr)) return got;
    *problem = failureOf(GetLastError()).reason;
    return -1;
}

void FileToSend::close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
}

bool Folder::openRoot(const std::filesystem::path& path, Folder* folder, Failure* failure) {
    // Without FILE_SHARE_DELETE: nobody renames or removes the folder while
    // it is open.
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *failure = failureOf(GetLastError());
        return false;
    }
    folder->held_.assign(1, std::shared_ptr<void>(handle, CloseHandle));
    folder->path_ = path;
    return true;
}

bool Folder::child(const std::string& name, Folder* folder, Failure* failure) const {
    const std::filesystem::path path = path_ / toPath(name);
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        *failure = failureOf(GetLastError());
        return false;
    }
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *failure = failureOf(GetLastError());
        return false;
    }
    std::shared_ptr<void> held(handle, CloseHandle);
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(handle, &information) == 0) {
        *failure = failureOf(GetLastError());
        return false;
    }
    // A link or a junction is opened as itself, and refused; so is a folder
    // that the system reaches by another path than the one asked for (a link
    // that it follows without saying so).
    const bool link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const std::wstring above = finalPath(held_.back().get());
    const std::wstring expected = above + (above.empty() || above.back() == L'\\' ? L"" : L"\\") +
                                  path.filename().native();
    const std::wstring reached = finalPath(handle);
    if (link || reached.empty() || above.empty() ||
        CompareStringOrdinal(reached.c_str(), static_cast<int>(reached.size()), expected.c_str(),
                             static_cast<int>(expected.size()), TRUE) != CSTR_EQUAL) {
        failure->kind = Failure::name;
        failure->reason = "a symbolic link or a junction has the name of a folder of its path";
        return false;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        failure->kind = Failure::name;
        failure->reason = "a file has the name of a folder of its path";
        return false;
    }
    folder->held_ = held_;
    folder->held_.push_back(std::move(held));
    folder->path_ = path;
    return true;
}

Folder::~Folder() = default;
Folder::Folder(Folder&& other) noexcept = default;
Folder& Folder::operator=(Folder&& other) noexcept = default;

void Folder::close() {
    held_.clear();
}

bool Folder::has(const std::string& name) const {
    if (GetFileAttributesW((path_ / toPath(name)).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

bool Folder::remove(const std::string& name) const {
    return DeleteFileW((path_ / toPath(name)).c_str()) != 0;
}

std::FILE* Folder::openRead(const std::string& name) const {
    return _wfopen((path_ / toPath(name)).c_str(), L"rb");
}

bool NewFile::create(const Folder& folder, const std::string& name, Failure* failure) {
    close();
    HANDLE handle = CreateFileW((folder.path() / toPath(name)).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *failure = failureOf(GetLastError());
        return false;
    }
    handle_ = handle;
    return true;
}

bool NewFile::setModified(const FileTime& time, Failure* failure) {
    const uint64_t ticks = static_cast<uint64_t>(time.seconds + epochDifference) * ticksPerSecond +
                           time.nanoseconds / 100;
    FILETIME written{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    if (SetFileTime(handle_, nullptr, nullptr, &written) != 0) return true;
    *failure = failureOf(GetLastError());
    return false;
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

Placed place(const Folder& folder, const std::string& from, const std::string& to, bool replace,
             Failure* failure) {
    // Write-through: the call returns once the new name is on the disk.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW((folder.path() / toPath(from)).c_str(), (folder.path() / toPath(to)).c_str(), flags)) {
        return Placed::placed;
    }
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
