// Windows implementation of the files of tools/base/system.h: the files to
// send, the receiving folders, new files, their removal on an interrupt,
// placing. Every file call is the wide (UTF-16) one: the names arrive as
// UTF-8, and the ANSI calls would read them in the code page of the moment.
// clang-format off
#include <windows.h>
#include <winternl.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>
// clang-format on
#include <utf8.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

#include "dyadc.h"
#include "tools/base/system.h"
#include "tools/base/windows/failures.h"

namespace dyad::sys {
namespace {

// The full paths of the part files to remove, by slot; their folders are
// held, so each path leads to the part file itself. The console's control
// handler runs on a thread of its own, which may take the lock.
std::mutex interruptedLock;
std::map<int, std::wstring> interruptedParts;
int nextInterruptSlot = 0;

BOOL WINAPI onInterrupt(DWORD) {
    const std::lock_guard<std::mutex> lock(interruptedLock);
    for (const auto& [slot, path] : interruptedParts) DeleteFileW(path.c_str());
    return FALSE;  // the default handler ends the program
}

// Whether two paths that the system gave are the same (Windows compares
// names without regard to case).
bool samePath(const std::wstring& one, const std::wstring& other) {
    return CompareStringOrdinal(one.c_str(), static_cast<int>(one.size()), other.c_str(),
                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
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

// A file's size and modification time from what the system says of it.
void sizeAndTime(const BY_HANDLE_FILE_INFORMATION& information, uint64_t* size, FileTime* time) {
    *size = (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    const uint64_t ticks = (static_cast<uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32) |
                           information.ftLastWriteTime.dwLowDateTime;
    time->seconds = static_cast<int64_t>(ticks / ticksPerSecond) - epochDifference;
    time->nanoseconds = static_cast<uint32_t>(ticks % ticksPerSecond) * 100;
}

// The last name of a path that the system gave.
std::string lastName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    const size_t start = slash == std::wstring::npos ? 0 : slash + 1;
    return narrow(path.c_str() + start, path.size() - start);
}

// Opens the folder at `path` so that it stays where it is: with the rights
// to list and to traverse it, which take part in sharing (a handle with no
// more than FILE_READ_ATTRIBUTES would not), and without FILE_SHARE_DELETE,
// nobody renames, moves or removes the folder while the handle is open.
HANDLE holdFolder(const std::wstring& path, DWORD flags) {
    return CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

}  // namespace

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
        sizeAndTime(information, &openedSize_, &openedTime_);
        return true;
    }
    CloseHandle(handle);
    return false;
}

bool FileToSend::state(uint64_t* size, FileTime* time) const {
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(handle_, &information) == 0) return false;
    sizeAndTime(information, size, time);
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
    HANDLE handle = holdFolder(path.native(), 0);
    if (handle == INVALID_HANDLE_VALUE) {
        *failure = failureOf(GetLastError());
        return false;
    }
    std::shared_ptr<void> held(handle, CloseHandle);
    std::wstring reached = finalPath(handle);
    if (reached.empty()) {
        *failure = failureOf(GetLastError());
        return false;
    }
    folder->held_.assign(1, std::move(held));
    folder->reached_ = std::move(reached);
    folder->path_ = path;
    folder->name_.clear();
    folder->root_ = true;
    return true;
}

std::wstring Folder::at(const std::string& name) const {
    return reached_ + (reached_.back() == L'\\' ? L"" : L"\\") + toPath(name).native();
}

bool Folder::child(const std::string& name, Folder* folder, Failure* failure) const {
    const std::wstring path = at(name);
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        *failure = writingFailure(GetLastError(), root_);
        return false;
    }
    HANDLE handle = holdFolder(path, FILE_FLAG_OPEN_REPARSE_POINT);
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
    // that it follows without saying so). A name in another case reaches
    // the folder that has it.
    const bool link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    std::wstring reached = finalPath(handle);
    if (link || reached.empty() || !samePath(reached, path)) {
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
    folder->name_ = lastName(reached);
    folder->reached_ = std::move(reached);
    folder->path_ = path_ / toPath(name);
    folder->root_ = false;
    return true;
}

Folder::~Folder() = default;
Folder::Folder(Folder&& other) noexcept = default;
Folder& Folder::operator=(Folder&& other) noexcept = default;

void Folder::close() {
    held_.clear();
}

bool Folder::has(const std::string& name) const {
    if (GetFileAttributesW(at(name).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

bool Folder::identify(const std::string& name, FileId* id, std::string* stored) const {
    HANDLE handle = CreateFileW(at(name).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = GetFileInformationByHandle(handle, &information) != 0;
    const std::wstring reached = finalPath(handle);
    CloseHandle(handle);
    if (!known) return false;
    id->volume = information.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    *stored = reached.empty() ? name : lastName(reached);
    return true;
}

bool Folder::remove(const std::string& name) const {
    return DeleteFileW(at(name).c_str()) != 0;
}

std::FILE* Folder::openRead(const std::string& name) const {
    return _wfopen(at(name).c_str(), L"rb");
}

bool NewFile::create(const Folder& folder, const std::string& name, Failure* failure) {
    close();
    // Made relative to the held folder's handle: whatever happened to the
    // path above it, the file is made in that folder.
    const std::wstring wide = toPath(name).native();
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(wide.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder.held_.back().get(), nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    const NTSTATUS result = NtCreateFile(
        &handle, GENERIC_WRITE | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
        FILE_SHARE_DELETE, FILE_CREATE,
        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (result < 0) {
        *failure = writingFailure(RtlNtStatusToDosError(result), folder.root_);
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

bool NewFile::finish(Failure* failure) {
    return commit(failure);
}

void NewFile::close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
}

int removeOnInterrupt(const Folder& folder, const std::string& name) {
    static const bool installed = SetConsoleCtrlHandler(onInterrupt, TRUE) != 0;
    (void)installed;
    if (name.empty()) return -1;
    std::wstring path = folder.at(name);
    const std::lock_guard<std::mutex> lock(interruptedLock);
    for (int tried = 0; tried < interruptSlots; ++tried) {
        const int slot = (nextInterruptSlot + tried) % interruptSlots;
        if (interruptedParts.count(slot) != 0) continue;
        interruptedParts.emplace(slot, std::move(path));
        nextInterruptSlot = (slot + 1) % interruptSlots;
        return slot;
    }
    return -1;
}

void forgetOnInterrupt(int slot) {
    const std::lock_guard<std::mutex> lock(interruptedLock);
    interruptedParts.erase(slot);
}

// Each part file was flushed before it was closed (NewFile::finish), and
// each name is placed write-through.
bool syncFileSystems(const std::vector<const Folder*>&, Failure*) {
    return true;
}
bool syncFolder(const Folder&, Failure*) {
    return true;
}

Placed place(const Folder& folder, const std::string& from, const std::string& to, bool replace, Failure* failure,
             bool) {
    // Write-through, whether asked to wait or not: the call returns once the
    // new name is on the disk.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    const std::wstring target = folder.at(to);
    if (MoveFileExW(folder.at(from).c_str(), target.c_str(), flags)) return Placed::placed;
    *failure = failureOf(GetLastError());
    if (failure->kind == Failure::exists && !replace) return Placed::exists;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        failure->kind = Failure::name;
        failure->reason = "a folder has that name";
    }
    return Placed::failed;
}
}  // namespace dyad::sys
