// Windows implementation of tools/base/system.h. Every file call is the wide
// (UTF-16) one: the names arrive as UTF-8, and the ANSI calls would read
// them in the code page of the moment.
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

#include "dyadc.h"
#include "tools/base/system.h"

namespace dyad::sys {
namespace {

// The full path of the part file to remove; its folder is held, so the path
// leads to the part file itself.
wchar_t interruptedPart[32768];
std::atomic<bool> interruptedPartSet{false};

// Runs on a thread of its own when Ctrl-C, Ctrl-Break or closing the console
// ends the program. The part file was opened for sharing its deletion, so it
// goes when the program's handles close.
BOOL WINAPI onInterrupt(DWORD) {
    if (interruptedPartSet.load()) DeleteFileW(interruptedPart);
    return FALSE;  // the default handler ends the program
}

// A console shows text as UTF-16 characters, and the C runtime hands it the
// program's bytes in a code page of the runtime's choosing (wine's decodes
// them from the ANSI code page, whatever the console's own code page is).
// So the standard output and error that lead to a console lead to a pipe
// instead, and a thread writes what arrives there to the console with
// WriteConsoleW, decoded as UTF-8; when both lead to the console they share
// the pipe, which keeps their lines in order.
HANDLE console = nullptr;  // the console that the relay writes to
HANDLE relayThread = nullptr;
bool toConsole[3] = {};  // by file descriptor: stdout and stderr led to the console

// How many bytes at the end of `bytes` begin a UTF-8 sequence whose other
// bytes are still to come.
size_t unfinished(const char* bytes, size_t length) {
    for (size_t back = 1; back <= 3 && back <= length; ++back) {
        const auto c = static_cast<unsigned char>(bytes[length - back]);
        if ((c & 0xc0) == 0x80) continue;  // a continuation byte
        const size_t needed = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
        return needed > back ? back : 0;
    }
    return 0;
}

// The relay's thread: writes what arrives in the pipe to the console until
// the pipe's writing ends close.
DWORD WINAPI relay(void* pipe) {
    char bytes[4096];
    wchar_t text[sizeof bytes];
    size_t kept = 0;
    DWORD got = 0;
    while (ReadFile(pipe, bytes + kept, static_cast<DWORD>(sizeof bytes - kept), &got, nullptr) != 0 && got > 0) {
        const size_t length = kept + got;
        const size_t whole = length - unfinished(bytes, length);
        // Bytes that are no UTF-8 become U+FFFD.
        const int count = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(whole), text,
                                              static_cast<int>(sizeof text / sizeof text[0]));
        DWORD written = 0;
        if (count > 0) WriteConsoleW(console, text, static_cast<DWORD>(count), &written, nullptr);
        kept = length - whole;
        std::memmove(bytes, bytes + whole, kept);
    }
    CloseHandle(pipe);
    return 0;
}

// At the end of the program: what is still in the pipe reaches the console.
void finishConsole() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd : {1, 2}) {
        if (toConsole[fd]) _close(fd);
    }
    WaitForSingleObject(relayThread, 5000);
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
    switch (error) {
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            failure.kind = Failure::exists;
            break;
        case ERROR_INVALID_NAME:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_BAD_PATHNAME:
        case ERROR_DIRECTORY:
            failure.kind = Failure::name;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
        case ERROR_FILE_TOO_LARGE:
            failure.kind = Failure::file;
            break;
        default:  // a full or failing disk, a lost network drive
            failure.kind = Failure::folder;
    }
    return failure;
}

// The failure to make a new name in a folder: when the receiving folder
// itself may not be written, no file can be stored.
Failure writingFailure(DWORD error, bool root) {
    Failure failure = failureOf(error);
    if (root && failure.kind == Failure::file) failure.kind = Failure::folder;
    return failure;
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
    const int fd = _fileno(stream);
    return (fd >= 0 && fd < 3 && toConsole[fd]) || _isatty(fd) != 0;
}

void prepareConsole() {
    HANDLE found = nullptr;
    for (int fd : {1, 2}) {
        const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        DWORD mode = 0;
        if (handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode) == 0) continue;
        toConsole[fd] = true;
        if (found == nullptr) found = handle;
    }
    if (found == nullptr) return;  // a file or a pipe takes the UTF-8 bytes as they are
    HANDLE reading = nullptr;
    HANDLE writing = nullptr;
    int fd = -1;
    // The console's own handle goes with the descriptor that the pipe
    // replaces: the relay keeps one of its own.
    if (DuplicateHandle(GetCurrentProcess(), found, GetCurrentProcess(), &console, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) != 0 &&
        CreatePipe(&reading, &writing, nullptr, 0) != 0 &&
        (fd = _open_osfhandle(reinterpret_cast<intptr_t>(writing), _O_TEXT)) >= 0 &&
        (relayThread = CreateThread(nullptr, 0, relay, reading, 0, nullptr)) != nullptr) {
        for (int standard : {1, 2}) {
            if (toConsole[standard]) _dup2(fd, standard);
        }
        _close(fd);
        // Each line reaches the console as it is written, as it did before.
        if (toConsole[1]) std::setvbuf(stdout, nullptr, _IONBF, 0);
        std::atexit(finishConsole);
        return;
    }
    // No relay: the output goes to the console as the runtime writes it.
    if (fd >= 0) {
        _close(fd);
    } else if (writing != nullptr) {
        CloseHandle(writing);
    }
    if (reading != nullptr) CloseHandle(reading);
    toConsole[1] = toConsole[2] = false;
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

void NewFile::close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
}

void removeOnInterrupt(const Folder* folder, const std::string& name) {
    static const bool installed = SetConsoleCtrlHandler(onInterrupt, TRUE) != 0;
    (void)installed;
    interruptedPartSet = false;
    if (folder == nullptr || name.empty()) return;
    const std::wstring path = folder->at(name);
    if (path.size() >= sizeof interruptedPart / sizeof interruptedPart[0]) return;
    std::memcpy(interruptedPart, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    interruptedPartSet = true;
}

Placed place(const Folder& folder, const std::string& from, const std::string& to, bool replace,
             Failure* failure) {
    // Write-through: the call returns once the new name is on the disk.
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
