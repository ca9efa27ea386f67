// Windows implementation of tools/base/system.h, but for the files
// (files.cpp). Every file call is the wide (UTF-16) one: the names arrive as
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

#include "dyadc.h"
#include "tools/base/system.h"
#include "tools/base/windows/failures.h"

namespace dyad::sys {
namespace {

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

}  // namespace

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

}  // namespace dyad::sys
