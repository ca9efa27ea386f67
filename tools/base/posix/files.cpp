// Linux implementation of the files of tools/base/system.h: the files to send,
// the receiving folders, new files, placing them (their removal on an
// interrupt is in interrupt.cpp).
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dyadc.h"
#include "tools/base/system.h"

namespace dyad::sys {
namespace {

// The failure that errno describes.
Failure failureOf(int error) {
    Failure failure;
    failure.reason = std::strerror(error);
    switch (error) {
        case EEXIST:
            failure.kind = Failure::exists;
            break;
        case ENAMETOOLONG:
        case EILSEQ:
        case EINVAL:  // a file system that takes fewer names than Linux does
        case EISDIR:
        case ENOTDIR:
        case ELOOP:
            failure.kind = Failure::name;
            break;
        case EACCES:
        case EPERM:
        case ETXTBSY:
        case EBUSY:
        case EFBIG:
            failure.kind = Failure::file;
            break;
        default:  // no space, a read-only or failing disk, no descriptors left
            failure.kind = Failure::folder;
    }
    return failure;
}

// The failure to make a new name in a folder: when the receiving folder
// itself may not be written, no file can be stored.
Failure writingFailure(int error, bool root) {
    Failure failure = failureOf(error);
    if (root && failure.kind == Failure::file) failure.kind = Failure::folder;
    return failure;
}

// What a file that is not a regular one is, for messages.
const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// The folder that the last file of this thread was opened in, held open: a
// walk opens the files of one folder one after the other, and each of them
// then costs one open rather than one per folder of its path. The folder is
// the one that was reached without a link when it was opened; a link that
// takes its place later is never followed.
struct HeldFolder {
    std::string path;  // the root, a NUL, and the folders below it
    int fd = -1;
    ~HeldFolder() {
        if (fd >= 0) ::close(fd);
    }
};
thread_local HeldFolder heldFolder;

// Opens the file `inside` of the folder `root` with `flags`, each folder of
// its path from the one above it and none through a link; -1 with errno set
// when it cannot.
int openBelow(const std::filesystem::path& root, const std::string& inside, int flags) {
    const size_t leaf = inside.rfind('/') == std::string::npos ? 0 : inside.rfind('/') + 1;
    std::string path = root.string();
    path.push_back('\0');
    path.append(inside, 0, leaf);
    if (heldFolder.fd < 0 || heldFolder.path != path) {
        if (heldFolder.fd >= 0) ::close(heldFolder.fd);
        heldFolder.fd = -1;
        int folder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        size_t start = 0;
        for (size_t end = inside.find('/'); folder >= 0 && end != std::string::npos;
             end = inside.find('/', start)) {
            const int next = openat(folder, inside.substr(start, end - start).c_str(),
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            const int error = errno;
            ::close(folder);
            errno = error;
            folder = next;
            start = end + 1;
        }
        if (folder < 0) return -1;
        heldFolder.fd = folder;
        heldFolder.path = std::move(path);
    }
    return openat(heldFolder.fd, inside.c_str() + leaf, flags | O_NOFOLLOW);
}

}  // namespace

bool FileToSend::open(const std::filesystem::path& root, const std::string& inside, std::string* problem) {
    close();
    // O_NONBLOCK: opening a FIFO or a device returns at once, and the type
    // check below refuses it.
    constexpr int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    const int fd = inside.empty() ? ::open(root.c_str(), flags) : openBelow(root, inside, flags);
    if (fd < 0) {
        // O_NOFOLLOW fails with ELOOP on a link, O_DIRECTORY with ENOTDIR
        // where a link or a file took the place of a folder of the path.
        *problem = errno == ELOOP     ? "a symbolic link"
                   : errno == ENOTDIR ? "a folder of its path is no longer one (a link or a file took its place)"
                                      : std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *problem = status.st_mode == 0 ? std::strerror(errno) : kindOf(status.st_mode);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    openedSize_ = static_cast<uint64_t>(status.st_size);
    openedTime_ = {status.st_mtim.tv_sec, static_cast<uint32_t>(status.st_mtim.tv_nsec)};
    return true;
}

bool FileToSend::state(uint64_t* size, FileTime* time) const {
    struct stat status {};
    if (fstat(fd_, &status) != 0) return false;
    *size = static_cast<uint64_t>(status.st_size);
    time->seconds = status.st_mtim.tv_sec;
    time->nanoseconds = static_cast<uint32_t>(status.st_mtim.tv_nsec);
    return true;
}

int64_t FileToSend::read(void* bytes, size_t length, std::string* problem) {
    for (;;) {
        const ssize_t got = ::read(fd_, bytes, length);
        if (got >= 0) return got;
        if (errno == EINTR) continue;
        *problem = std::strerror(errno);
        return -1;
    }
}

void FileToSend::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Folder::openRoot(const std::filesystem::path& path, Folder* folder, Failure* failure) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *failure = failureOf(errno);
        return false;
    }
    folder->close();
    folder->fd_ = fd;
    folder->path_ = path;
    folder->root_ = true;
    return true;
}

bool Folder::child(const std::string& name, Folder* folder, Failure* failure) const {
    if (mkdirat(fd_, name.c_str(), 0755) != 0 && errno != EEXIST) {
        *failure = writingFailure(errno, root_);
        return false;
    }
    // O_NOFOLLOW: a link of that name fails instead of being followed.
    const int fd = openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        *failure = failureOf(error);
        if (error == ELOOP || error == ENOTDIR) {
            struct stat status {};
            const bool link = fstatat(fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                              S_ISLNK(status.st_mode);
            failure->kind = Failure::name;
            failure->reason = link ? "a symbolic link has the name of a folder of its path"
                                   : "a file has the name of a folder of its path";
        }
        return false;
    }
    folder->close();
    folder->fd_ = fd;
    folder->path_ = path_ / name;
    folder->name_ = name;
    folder->root_ = false;
    return true;
}

Folder::~Folder() {
    close();
}

Folder::Folder(Folder&& other) noexcept
    : path_(std::move(other.path_)), name_(std::move(other.name_)), root_(other.root_), fd_(other.fd_) {
    other.fd_ = -1;
}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        close();
        path_ = std::move(other.path_);
        name_ = std::move(other.name_);
        root_ = other.root_;
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void Folder::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Folder::has(const std::string& name) const {
    struct stat status {};
    return fstatat(fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

bool Folder::identify(const std::string& name, FileId* id, std::string* stored) const {
    struct stat status {};
    if (fstatat(fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
    id->volume = status.st_dev;
    id->index = status.st_ino;
    *stored = name;
    return true;
}

bool Folder::remove(const std::string& name) const {
    return unlinkat(fd_, name.c_str(), 0) == 0;
}

std::FILE* Folder::openRead(const std::string& name) const {
    const int fd = openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) ::close(fd);
    return file;
}

bool NewFile::create(const Folder& folder, const std::string& name, Failure* failure) {
    close();
    const int fd = openat(folder.fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *failure = writingFailure(errno, folder.root_);
        return false;
    }
    fd_ = fd;
    return true;
}

bool NewFile::setModified(const FileTime& time, Failure* failure) {
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(time.seconds), static_cast<long>(time.nanoseconds)}};
    if (futimens(fd_, times) == 0) return true;
    *failure = failureOf(errno);
    return false;
}

bool NewFile::write(const void* bytes, size_t length, Failure* failure) {
    const auto* at = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t written = ::write(fd_, at, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            *failure = failureOf(written < 0 ? errno : ENOSPC);
            return false;
        }
        at += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool NewFile::isOpen() const {
    return fd_ >= 0;
}

bool NewFile::commit(Failure* failure) {
    const int fd = fd_;
    fd_ = -1;
    const bool synced = fsync(fd) == 0;
    if (!synced) *failure = failureOf(errno);
    // A close that fails after fsync succeeded has lost nothing.
    ::close(fd);
    return synced;
}

bool NewFile::finish(Failure* failure) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) == 0) return true;
    *failure = failureOf(errno);
    return false;
}

void NewFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool syncFileSystems(const std::vector<const Folder*>& folders, Failure* failure) {
    std::vector<dev_t> synced;
    for (const Folder* folder : folders) {
        struct stat status {};
        if (fstat(folder->fd_, &status) != 0) {
            *failure = failureOf(errno);
            return false;
        }
        if (std::find(synced.begin(), synced.end(), status.st_dev) != synced.end()) continue;
        if (syncfs(folder->fd_) != 0) {
            *failure = failureOf(errno);
            return false;
        }
        synced.push_back(status.st_dev);
    }
    return true;
}

bool syncFolder(const Folder& folder, Failure* failure) {
    if (fsync(folder.fd_) == 0) return true;
    *failure = failureOf(errno);
    return false;
}

Placed place(const Folder& folder, const std::string& from, const std::string& to, bool replace, Failure* failure,
             bool sync) {
    const int fd = folder.fd_;
    bool placed = false;
    if (replace) {
        placed = renameat(fd, from.c_str(), fd, to.c_str()) == 0;
    } else if (renameat2(fd, from.c_str(), fd, to.c_str(), RENAME_NOREPLACE) == 0) {
        placed = true;
    } else if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
        // A file system without the no-replace rename: a hard link fails just
        // as surely when the name is taken.
        placed = linkat(fd, from.c_str(), fd, to.c_str(), 0) == 0;
        if (placed) unlinkat(fd, from.c_str(), 0);
    }
    if (!placed) {
        *failure = failureOf(errno);
        if (failure->kind == Failure::exists && !replace) return Placed::exists;
        struct stat status {};
        if (fstatat(fd, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode)) {
            failure->kind = Failure::name;
            failure->reason = "a folder has that name";
        }
        return Placed::failed;
    }
    // The new name reaches the disk with the folder's entries.
    if (sync && fsync(fd) != 0) {
        *failure = failureOf(errno);
        return Placed::failed;
    }
    return Placed::placed;
}

}  // namespace dyad::sys
