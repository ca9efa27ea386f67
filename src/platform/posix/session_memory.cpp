// The Session's shared memory: a POSIX shared-memory object per workstation
// name ("/dyadc", or "/" + DYADC_SESSION), mapped by every process that loads
// the library.
//
// Whether the initial values must be applied is decided with open-file-
// description locks on a lock object that belongs to the name, never with a
// counter in the memory itself (a crashed process would leave a counter wrong
// forever, while the system drops its locks when it ends):
//   byte 0  every attached process holds a shared lock; a process that can
//           take it exclusively is alone, so it initialises on attach and
//           discards the memory on detach;
//   byte 1  held exclusively for the length of an attach or a detach, so that
//           the two never interleave.
// A process forked from a holder shares its parent's open file description
// of the lock object, and so its locks: were it to keep the description open,
// the locks would outlive the parent for as long as the child runs, and every
// attach and detach of the workstation would wait for the child. A forked
// child therefore closes its copy of the descriptor at once: it holds nothing
// (it may use the memory while others hold it) and leaves no trace.
//
// The memory begins with a magic number, the layout version and the size, so
// that builds with different layouts refuse to share it instead of corrupting
// it. The lock object is never removed: a process waiting for byte 1 must not
// end up holding a lock on a file that a newer process no longer opens.
#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dyadc::platform {
namespace {

constexpr uint32_t segmentMagic = 0x44594144;  // "DYAD"
constexpr size_t maximumNameLength = 40;

struct SegmentHeader {
    uint32_t magic;
    uint32_t layout;
    uint32_t size;
    uint32_t reserved;
};
static_assert(sizeof(SegmentHeader) % 16 == 0, "the Session must stay 16-byte aligned");

struct Attachment {
    char name[maximumNameLength + 2] = "/dyadc";
    int lockHandle = -1;
    void* mapping = nullptr;
    size_t mappingSize = 0;
    bool shared = false;
    pid_t owner = 0;  // the process that attached; a forked child must not detach
};
Attachment attachment;

bool validName(const char* name) {
    size_t length = std::strlen(name);
    if (length == 0 || length > maximumNameLength) return false;
    for (size_t i = 0; i < length; ++i) {
        char c = name[i];
        bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_';
        if (!allowed) return false;
    }
    return true;
}

// In a forked child: let go of the parent's lock description.
void dropInheritedLocks() {
    if (attachment.lockHandle >= 0) ::close(attachment.lockHandle);
    attachment.lockHandle = -1;
}

int lockByte(int handle, short type, off_t byte, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    int result;
    do {
        result = ::fcntl(handle, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (result != 0 && errno == EINTR);
    return result;
}

SharedMemory privateMemory(uint32_t size, const void* initialValues, int32_t reason) {
    void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        // The Session is small; this static block is the last resort.
        alignas(16) static unsigned char fallback[16384];
        block = size <= sizeof fallback ? fallback : nullptr;
    } else {
        attachment.mapping = block;
        attachment.mappingSize = size;
    }
    attachment.shared = false;
    if (block != nullptr) std::memcpy(block, initialValues, size);
    return SharedMemory{block, block != nullptr, false, reason};
}

// Maps the memory object; `create` truncates it to the right size first.
void* mapSegment(size_t total, bool create) {
    int handle = ::shm_open(attachment.name, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (handle < 0) return nullptr;
    if (create && (::ftruncate(handle, 0) != 0 || ::ftruncate(handle, static_cast<off_t>(total)) != 0)) {
        ::close(handle);
        return nullptr;
    }
    struct stat status {};
    if (::fstat(handle, &status) != 0 || static_cast<size_t>(status.st_size) != total) {
        ::close(handle);
        return nullptr;
    }
    void* mapping = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, handle, 0);
    ::close(handle);
    return mapping == MAP_FAILED ? nullptr : mapping;
}

}  // namespace

const char* workstationName() {
    return attachment.name + 1;
}

SharedMemory attachSharedMemory(uint32_t size, uint32_t layout, const void* initialValues) {
    static const int forkHandler = pthread_atfork(nullptr, nullptr, dropInheritedLocks);
    (void)forkHandler;
    attachment = Attachment{};
    attachment.owner = ::getpid();
    const char* requested = std::getenv("DYADC_SESSION");
    if (requested != nullptr) {
        if (!validName(requested)) return privateMemory(size, initialValues, sharedMemoryReasonName);
        (void)std::snprintf(attachment.name, sizeof attachment.name, "/%s", requested);  // fits: checked above
    }
    char lockName[sizeof attachment.name + 8];
    (void)std::snprintf(lockName, sizeof lockName, "%s.lock", attachment.name);  // fits by its size
    int lockHandle = ::shm_open(lockName, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockHandle < 0) return privateMemory(size, initialValues, sharedMemoryReasonSystem);
    if (lockByte(lockHandle, F_WRLCK, 1, true) != 0) {
        ::close(lockHandle);
        return privateMemory(size, initialValues, sharedMemoryReasonSystem);
    }

    const size_t total = sizeof(SegmentHeader) + size;
    SharedMemory result{nullptr, false, true, 0};
    void* mapping = nullptr;
    if (lockByte(lockHandle, F_WRLCK, 0, false) == 0) {
        // No other process holds the memory: start it afresh.
        mapping = mapSegment(total, true);
        if (mapping != nullptr) {
            // The initial values go in while attaches and detaches of other
            // processes still wait for this one.
            std::memcpy(static_cast<unsigned char*>(mapping) + sizeof(SegmentHeader), initialValues, size);
            auto* header = static_cast<SegmentHeader*>(mapping);
            *header = SegmentHeader{segmentMagic, layout, size, 0};
            result.initialised = true;
        }
        lockByte(lockHandle, F_RDLCK, 0, false);
        if (mapping == nullptr) result.reason = sharedMemoryReasonSystem;
    } else if (lockByte(lockHandle, F_RDLCK, 0, true) == 0) {
        mapping = mapSegment(total, false);
        const auto* header = static_cast<const SegmentHeader*>(mapping);
        if (mapping == nullptr) {
            result.reason = sharedMemoryReasonLayout;  // missing, or of another size
        } else if (header->magic != segmentMagic || header->layout != layout || header->size != size) {
            ::munmap(mapping, total);
            mapping = nullptr;
            result.reason = sharedMemoryReasonLayout;
        }
    } else {
        result.reason = sharedMemoryReasonSystem;
    }

    if (mapping == nullptr) {
        ::close(lockHandle);  // drops both locks
        return privateMemory(size, initialValues, result.reason);
    }
    lockByte(lockHandle, F_UNLCK, 1, false);
    attachment.lockHandle = lockHandle;
    attachment.mapping = mapping;
    attachment.mappingSize = total;
    attachment.shared = true;
    result.data = static_cast<unsigned char*>(mapping) + sizeof(SegmentHeader);
    return result;
}

void detachSharedMemory() {
    if (attachment.owner != ::getpid()) {
        // A forked child shares its parent's lock description: it must neither
        // release the parent's hold nor discard the memory under it.
        return;
    }
    if (!attachment.shared) {
        if (attachment.mapping != nullptr) ::munmap(attachment.mapping, attachment.mappingSize);
        attachment = Attachment{};
        return;
    }
    lockByte(attachment.lockHandle, F_WRLCK, 1, true);
    ::munmap(attachment.mapping, attachment.mappingSize);
    if (lockByte(attachment.lockHandle, F_WRLCK, 0, false) == 0) {
        ::shm_unlink(attachment.name);  // the last holder discards the memory
    }
    ::close(attachment.lockHandle);
    attachment = Attachment{};
}

void* peekSharedMemory(const char* name, uint32_t size, uint32_t layout) {
    if (!validName(name)) return nullptr;
    char object[maximumNameLength + 2];
    (void)std::snprintf(object, sizeof object, "/%s", name);  // fits: checked above
    int handle = ::shm_open(object, O_RDWR | O_CLOEXEC, 0);
    if (handle < 0) return nullptr;
    const size_t total = sizeof(SegmentHeader) + size;
    struct stat status {};
    void* mapping = MAP_FAILED;
    if (::fstat(handle, &status) == 0 && static_cast<size_t>(status.st_size) == total) {
        mapping = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, handle, 0);
    }
    ::close(handle);
    if (mapping == MAP_FAILED) return nullptr;
    const auto* header = static_cast<const SegmentHeader*>(mapping);
    if (header->magic != segmentMagic || header->layout != layout || header->size != size) {
        ::munmap(mapping, total);
        return nullptr;
    }
    return static_cast<unsigned char*>(mapping) + sizeof(SegmentHeader);
}

void unmapSharedMemory(void* data, uint32_t size) {
    if (data == nullptr) return;
    ::munmap(static_cast<unsigned char*>(data) - sizeof(SegmentHeader), sizeof(SegmentHeader) + size);
}

}  // namespace dyadc::platform
