// The few calls of the dyad command that each operating system makes in its
// own way: the program's arguments and paths as text, whether a stream is a
// terminal and a console that shows UTF-8, a file to send opened as itself,
// the folders of a received path reached without following a link and held
// in place, what a name of a folder reaches, writing a file that only this
// program creates and that reaches the disk before it gets its name with the
// time it came with, removing an unfinished file when the program is
// interrupted, and the reason a call failed in the system's words.
// posix/system.cpp and posix/files.cpp implement them for Linux,
// windows/system.cpp and windows/files.cpp for Windows.
//
// Text inside the command is UTF-8 on Windows (names travel as UTF-8, and
// Windows stores them in UTF-16); on Linux it is the bytes the system uses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace dyad::sys {

// The program's arguments as text (Windows: decoded from the wide command
// line, whatever the code page).
std::vector<std::string> arguments(int argc, char** argv);

// A path from text, and the text of a path.
std::filesystem::path toPath(const std::string& text);
std::string toText(const std::filesystem::path& path);

// Whether `stream` (stdin, stdout or stderr) is a terminal.
bool isTerminal(std::FILE* stream);

// Makes a console that stdout or stderr leads to show the command's UTF-8
// text as text until the program ends (Windows: the text reaches it as UTF-16
// through WriteConsoleW, and isTerminal() still says that the stream is a
// terminal; Linux: nothing, a terminal takes the bytes as they are). Called
// once, before anything is written.
void prepareConsole();

// Whether the path is longer than the system lets programs use (Windows:
// 259 characters; Linux: never, a name too long fails on its own).
bool pathTooLong(const std::filesystem::path& path);

// Why a call failed, in the system's words, and what it blames.
struct Failure {
    enum Kind {
        exists,  // a file of that name exists
        name,    // the system does not take this name, or a link, a file or a folder stands in its way
        file,    // the system refuses this one file (a folder that may not be written, a file in use):
                 // the files after it may still be stored
        folder,  // the receiving folder itself or the disk: another name would fail too
    };
    Kind kind = folder;
    std::string reason;
};

// A modification time: seconds and nanoseconds since 1970-01-01 UTC.
struct FileTime {
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
};

// A file to send, opened as itself: a symbolic link (or a junction) where a
// file or a folder of its path was listed is never followed, and a FIFO or a
// device is never waited on. Its size and modification time are those of the
// open file, so that a change while it is read shows.
class FileToSend {
public:
    FileToSend() = default;
    ~FileToSend() { close(); }
    FileToSend(const FileToSend&) = delete;
    FileToSend& operator=(const FileToSend&) = delete;

    // Opens the file `inside` (names joined by '/') of the folder `root`,
    // reaching each folder below `root` without following a link, or, when
    // `inside` is empty, `root` itself (a link in `root` is followed: the
    // person named it). Never blocks. False when it is not a regular file or
    // cannot be opened, with `problem` saying why ("a symbolic link", "a
    // FIFO", the system's words).
    [[nodiscard]] bool open(const std::filesystem::path& root, const std::string& inside, std::string* problem);
    // Its size and modification time as open() found them.
    uint64_t openedSize() const { return openedSize_; }
    FileTime openedTime() const { return openedTime_; }
    // Its size and modification time now; false when they cannot be read.
    [[nodiscard]] bool state(uint64_t* size, FileTime* time) const;
    // Reads up to `length` bytes; the count read (0 at its end), or -1 with
    // `problem` set.
    [[nodiscard]] int64_t read(void* bytes, size_t length, std::string* problem);
    void close();

private:
#ifdef _WIN32
    void* handle_ = nullptr;  // INVALID_HANDLE_VALUE is never kept
#else
    int fd_ = -1;
#endif
    uint64_t openedSize_ = 0;
    FileTime openedTime_;
};

// What place() did.
enum class Placed {
    placed,  // `from` now has the name `to`
    exists,  // `to` exists and `replace` was false: nothing changed
    failed,  // nothing changed (`failure` says why)
};

// What a name reaches on this workstation: the same for every name of one
// file (on Windows also names that differ in case only, and a short name).
struct FileId {
    uint64_t volume = 0;
    uint64_t index = 0;
    auto operator<=>(const FileId&) const = default;
};

// A folder of the receiving side, held open so that every name below it is
// reached from it and never through a link: a symbolic link (or a Windows
// junction) planted where a folder of a received path goes cannot lead the
// files outside. Linux reaches each folder, file and part file relative to
// the folder above it with links refused, even once a folder was moved;
// Windows opens each folder without following a link, checks that it is no
// link, and holds it so that it cannot be renamed, removed or replaced while
// files arrive; it makes each part file relative to the held folder's
// handle, and reaches the other names in it by the full path that the
// system gives the held folder (a \\?\ path, which is not held to 259
// characters).
class Folder {
public:
    // The receiving folder itself, as the person named it (a link in that
    // path is theirs to make).
    static bool openRoot(const std::filesystem::path& path, Folder* folder, Failure* failure);
    // The folder `name` (one component, UTF-8) inside this one, made when
    // there is none. Fails with Failure::name when a link or a file has the
    // name, with Failure::file when the folder cannot be made or entered
    // (Failure::folder: this is the receiving folder and cannot be written).
    bool child(const std::string& name, Folder* folder, Failure* failure) const;

    Folder() = default;
    ~Folder();
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    // Where the folder is, for messages and length checks.
    const std::filesystem::path& path() const { return path_; }
    // The name the folder has in the one above it (on Windows, which finds
    // names in any case, it may differ from the name asked for).
    const std::string& name() const { return name_; }
    // Whether anything, a link too, has the name `name` here.
    bool has(const std::string& name) const;
    // What has the name `name` here (a link is not followed): its identity
    // and the name this folder stores it under, which on Windows may differ
    // from `name`. False when nothing has the name.
    bool identify(const std::string& name, FileId* id, std::string* stored) const;
    // Removes the file `name` here; false when it could not.
    bool remove(const std::string& name) const;
    // Opens the file `name` here for reading, unbuffered; null when it
    // cannot.
    std::FILE* openRead(const std::string& name) const;

private:
    friend class NewFile;
    friend Placed place(const Folder&, const std::string&, const std::string&, bool, Failure*, bool);
    friend int removeOnInterrupt(const Folder&, const std::string&);
    friend bool syncFileSystems(const std::vector<const Folder*>&, Failure*);
    friend bool syncFolder(const Folder&, Failure*);
    void close();

    std::filesystem::path path_;
    std::string name_;
    bool root_ = false;  // the receiving folder itself
#ifdef _WIN32
    // The full path of the name `name` in this folder, from the path that the
    // system gives the held folder.
    std::wstring at(const std::string& name) const;

    // Handles of this folder and of those above it, up to the receiving
    // folder: they hold the folders in place.
    std::vector<std::shared_ptr<void>> held_;
    std::wstring reached_;  // the held folder's full path, as the system gives it
#else
    int fd_ = -1;
#endif
};

// A file that this program creates and writes.
class NewFile {
public:
    NewFile() = default;
    ~NewFile() { close(); }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Creates the file `name` in `folder` for writing only when nothing of
    // that name exists, a link neither (one step, so that no other process
    // can slip in between). False when it exists or cannot be made
    // (`failure` says why).
    bool create(const Folder& folder, const std::string& name, Failure* failure);
    bool isOpen() const;
    // Writes all the bytes at the end of the file; false when that failed.
    bool write(const void* bytes, size_t length, Failure* failure);
    // Gives the file the modification time `time` (after the last write).
    bool setModified(const FileTime& time, Failure* failure);
    // Waits until the bytes are on the disk and closes the file: a file
    // named after this survives a power cut whole.
    bool commit(Failure* failure);
    // Closes the file after the last write, for a commit of many files at
    // once (syncFileSystems): Linux does not wait here; Windows waits until
    // the bytes are on the disk, as commit() does.
    bool finish(Failure* failure);
    // Closes the file without waiting (what is written stays).
    void close();

private:
#ifdef _WIN32
    void* handle_ = nullptr;  // INVALID_HANDLE_VALUE is never kept
#else
    int fd_ = -1;
#endif
};

// Names the part file `name` of `folder` that an interrupting signal
// (Ctrl-C, a termination request) removes before the program ends, in the
// folder that it was made in even when a link has taken that folder's place
// meanwhile; the program then ends as the signal would have ended it. Up to
// interruptSlots part files are named at once. Returns the slot that
// forgetOnInterrupt() takes, or -1 when the part file is not covered (every
// slot is taken, or the name is too long).
inline constexpr int interruptSlots = 1100;
int removeOnInterrupt(const Folder& folder, const std::string& name);
// The part file of `slot` is placed or removed: an interrupt leaves it.
void forgetOnInterrupt(int slot);

// Waits until what was written to the files of these folders (finished with
// NewFile::finish) is on the disk: on Linux one syncfs for each file system
// that holds one of the folders; on Windows nothing is left to wait for.
bool syncFileSystems(const std::vector<const Folder*>& folders, Failure* failure);
// Waits until the names placed in `folder` without `sync` are on the disk.
bool syncFolder(const Folder& folder, Failure* failure);

// Gives the file `from` of `folder` the name `to` there and waits until the
// new name is on the disk. Without `replace`, a file that exists under `to`
// is kept, even one that appears while the call runs; with it, a link of
// that name is replaced, never followed. A folder of the name `to` fails
// with Failure::name. Without `sync` the call does not wait for the name
// on Linux: syncFolder() does, once for many names.
Placed place(const Folder& folder, const std::string& from, const std::string& to, bool replace, Failure* failure,
             bool sync = true);

}  // namespace dyad::sys
