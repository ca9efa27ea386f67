// The Session's shared memory: a POSIX shared-memory object per workstation
// name ("/dyadc", or "/" + DYADC_SESSION) and a lock object beside it
// ("/dyadc.lock"), used by the processes of one user that load the library;
// and the identities of those processes.
//
// Both objects belong to one user. They are made exclusively (O_EXCL) with
// mode 0600, and one that exists already is used only when it belongs to this
// process's user and nobody else may open it (fstat): another user could
// change the memory under us, cut it short (every process that touched it
// would then die of SIGBUS), read the blocks of our pairing or hold its locks
// for ever. Such objects leave this process with a Session of its own, and the
// log says why. No lock is waited for without limit either: an attach or a
// detach holds one for microseconds, and a process that holds one for seconds
// is stopped or hostile; the load then goes on alone.
//
// Open-file-description locks on the lock object decide who holds the memory,
// never a counter in the memory itself (a crashed process would leave a
// counter wrong for ever, while the system drops its locks when it ends):
//   byte 0         every attached process holds a shared lock; a process that
//                  can take it exclusively is alone, so it initialises on
//                  attach, and discards both objects on detach;
//   byte 1         held exclusively for the length of an attach or a detach,
//                  so that the two never interleave;
//   byte 1024 + p  held exclusively by the process in place p of the holder
//                  table, for as long as it runs.
// A process that opened the lock object just before the last one removed it
// finds, once it holds byte 1, that the object has no name any more, and
// opens the new one.
//
// The holder table, in the memory before the Session, gives each process its
// identity: its id, its place p and a count of the places taken so far. A
// process is alive while the byte of its place is locked and the place still
// holds its identity. That holds across PID namespaces, where one process's id
// means nothing to another and two processes can both be process 1, for a
// process that has ended but was not waited for, and for an id that the system
// has given to a new process.
//
// A process forked from a holder shares its parent's open file description of
// the lock object, and so its locks: were it to keep the description open, the
// locks would outlive the parent for as long as the child runs, and every
// attach and detach of the workstation would wait for the child. A forked
// child therefore closes its copy at once. When it uses the library it takes a
// place of its own through a description of its own; it holds no share of the
// memory (it may use the memory while others hold it) and leaves no trace.
//
// The memory begins with a magic number, the layout version and the size, so
// that builds with different layouts refuse to share it instead of corrupting
// it; its size is checked before it is mapped.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix.h"

namespace dyadc::platform {
namespace {

constexpr uint32_t segmentMagic = 0x44594144;  // "DYAD"
constexpr uint32_t holderTableFormat = 1;      // in the header's last word
constexpr size_t maximumNameLength = 40;
constexpr uint32_t maximumHolders = (1u << identityPlaceBits) - 1;  // places 1 ... 1023
constexpr off_t holdersByte = 0;
constexpr off_t attachByte = 1;
constexpr off_t firstPlaceByte = 1024;
constexpr int64_t lockWaitMilliseconds = 5000;

struct SegmentHeader {
    uint32_t magic;
    uint32_t layout;
    uint32_t size;
    uint32_t holderTableFormat;
};
static_assert(sizeof(SegmentHeader) % 16 == 0, "the Session must stay 16-byte aligned");

struct Holder {
    uint64_t identity;      // 0 while the place is free
    uint64_t pidNamespace;  // the inode of the holder's PID namespace, for tools
};
struct HolderTable {
    uint64_t placesTaken;
    uint64_t reserved;
    Holder holders[maximumHolders];
};
static_assert(sizeof(HolderTable) % 16 == 0, "the Session must stay 16-byte aligned");

constexpr size_t sessionOffset = sizeof(SegmentHeader) + sizeof(HolderTable);

struct Attachment {
    char name[maximumNameLength + 2] = "/dyadc";
    char lockName[maximumNameLength + 7] = "/dyadc.lock";
    int lockHandle = -1;
    dev_t lockDevice = 0;
    ino_t lockInode = 0;
    void* mapping = nullptr;
    size_t mappingSize = 0;
    HolderTable* table = nullptr;
    bool shared = false;
    pid_t owner = 0;  // the process that attached; a forked child must not detach
};
Attachment attachment;

// This process's identity: taken with its place at attach, or in a forked
// child when first asked for; 0 until then.
ProcessIdentity identity = 0;
pthread_mutex_t identityLock = PTHREAD_MUTEX_INITIALIZER;

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

// In a forked child: let go of the parent's lock description and identity.
void afterFork() {
    if (attachment.lockHandle >= 0) ::close(attachment.lockHandle);
    attachment.lockHandle = -1;
    identity = 0;
    pthread_mutex_init(&identityLock, nullptr);
}

void handleForks() {
    static const int registered = pthread_atfork(nullptr, nullptr, afterFork);
    (void)registered;
}

int lockByte(int handle, short type, off_t byte) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    int result;
    do {
        result = ::fcntl(handle, F_OFD_SETLK, &lock);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Takes a lock, trying again every millisecond until the monotonic clock
// reaches `giveUp`. False then.
bool lockBefore(int handle, short type, off_t byte, int64_t giveUp) {
    while (lockByte(handle, type, byte) != 0) {
        if ((errno != EAGAIN && errno != EACCES) || monotonicMilliseconds() >= giveUp) return false;
        sleepMilliseconds(1);
    }
    return true;
}

// An object of this user that nobody else may open.
bool ownObject(int handle, struct stat* status) {
    return ::fstat(handle, status) == 0 && S_ISREG(status->st_mode) && status->st_uid == ::geteuid() &&
           (status->st_mode & 0777) == 0600;
}

// The lock object, made afresh or, when it exists, checked. -1 with the reason
// when it cannot be used.
int openLockObject(int32_t* reason) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        int handle = ::shm_open(attachment.lockName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (handle >= 0) {
            (void)::fchmod(handle, 0600);  // whatever the umask took away
            return handle;
        }
        if (errno != EEXIST) break;
        handle = ::shm_open(attachment.lockName, O_RDWR | O_CLOEXEC, 0);
        if (handle < 0) {
            if (errno == ENOENT) continue;  // removed meanwhile by the last holder
            *reason = errno == EACCES ? sharedMemoryReasonOwner : sharedMemoryReasonSystem;
            return -1;
        }
        struct stat status {};
        if (ownObject(handle, &status)) return handle;
        ::close(handle);
        *reason = sharedMemoryReasonOwner;
        return -1;
    }
    *reason = sharedMemoryReasonSystem;
    return -1;
}

// True when the object of the handle no longer has its name.
bool removed(int handle) {
    struct stat status {};
    return ::fstat(handle, &status) != 0 || status.st_nlink == 0;
}

void* mapHandle(int handle, size_t total) {
    void* mapping = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, handle, 0);
    ::close(handle);
    return mapping == MAP_FAILED ? nullptr : mapping;
}

// The memory object made afresh, for a process that holds the workstation
// alone: whatever had the name is left from a crash, or is an object that is
// not to be trusted.
void* createSegment(size_t total, int32_t* reason) {
    (void)::shm_unlink(attachment.name);  // nothing there, or a leftover
    const int handle = ::shm_open(attachment.name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (handle < 0) {
        // Another user's object, which this user may not remove.
        *reason = errno == EEXIST ? sharedMemoryReasonOwner : sharedMemoryReasonSystem;
        return nullptr;
    }
    if (::fchmod(handle, 0600) != 0 || ::ftruncate(handle, static_cast<off_t>(total)) != 0) {
        ::close(handle);
        (void)::shm_unlink(attachment.name);
        *reason = sharedMemoryReasonSystem;
        return nullptr;
    }
    void* mapping = mapHandle(handle, total);
    if (mapping == nullptr) {
        (void)::shm_unlink(attachment.name);
        *reason = sharedMemoryReasonSystem;
    }
    return mapping;
}

bool headerFits(const void* mapping, uint32_t size, uint32_t layout) {
    const auto* header = static_cast<const SegmentHeader*>(mapping);
    return header->magic == segmentMagic && header->layout == layout && header->size == size &&
           header->holderTableFormat == holderTableFormat;
}

// The memory object that the processes holding the workstation use.
void* joinSegment(size_t total, uint32_t size, uint32_t layout, int32_t* reason) {
    const int handle = ::shm_open(attachment.name, O_RDWR | O_CLOEXEC, 0);
    struct stat status {};
    if (handle < 0) {
        *reason = errno == EACCES ? sharedMemoryReasonOwner : sharedMemoryReasonLayout;  // or missing
        return nullptr;
    }
    if (!ownObject(handle, &status)) {
        ::close(handle);
        *reason = sharedMemoryReasonOwner;
        return nullptr;
    }
    if (static_cast<size_t>(status.st_size) != total) {
        // Mapped, a shorter object would fault on access: another build's.
        ::close(handle);
        *reason = sharedMemoryReasonLayout;
        return nullptr;
    }
    void* mapping = mapHandle(handle, total);
    if (mapping == nullptr) {
        *reason = sharedMemoryReasonSystem;
    } else if (!headerFits(mapping, size, layout)) {
        ::munmap(mapping, total);
        mapping = nullptr;
        *reason = sharedMemoryReasonLayout;
    }
    return mapping;
}

uint64_t currentPidNamespace() {
    struct stat status {};
    return ::stat("/proc/self/ns/pid", &status) == 0 ? static_cast<uint64_t>(status.st_ino) : 0;
}

// Takes the first free place of the holder table through `handle`: its byte,
// then its record. 0 when every place is taken.
ProcessIdentity takePlace(int handle) {
    HolderTable& table = *attachment.table;
    for (uint32_t place = 1; place <= maximumHolders; ++place) {
        if (lockByte(handle, F_WRLCK, firstPlaceByte + place) != 0) continue;
        const uint64_t count = std::atomic_ref<uint64_t>(table.placesTaken).fetch_add(1) + 1;
        const ProcessIdentity taken = (static_cast<uint64_t>(static_cast<uint32_t>(currentProcessId())) << 32) |
                                      ((count & identityCountMask) << identityPlaceBits) | place;
        Holder& holder = table.holders[place - 1];
        std::atomic_ref<uint64_t>(holder.pidNamespace).store(currentPidNamespace());
        std::atomic_ref<uint64_t>(holder.identity).store(taken);
        return taken;
    }
    return 0;
}

// A forked child's own place, through a description of its own of the
// workstation's lock object (the same object as its parent's). 0 when the
// workstation has gone meanwhile.
ProcessIdentity placeOfForkedChild() {
    const int handle = ::shm_open(attachment.lockName, O_RDWR | O_CLOEXEC, 0);
    if (handle < 0) return 0;
    struct stat status {};
    ProcessIdentity taken = 0;
    if (::fstat(handle, &status) == 0 && status.st_dev == attachment.lockDevice &&
        status.st_ino == attachment.lockInode && status.st_nlink > 0) {
        taken = takePlace(handle);
    }
    if (taken == 0) {
        ::close(handle);
    } else {
        attachment.lockHandle = handle;
    }
    return taken;
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

}  // namespace

const char* workstationName() {
    return attachment.name + 1;
}

SharedMemory attachSharedMemory(uint32_t size, uint32_t layout, const void* initialValues) {
    handleForks();
    attachment = Attachment{};
    identity = 0;
    attachment.owner = ::getpid();
    const char* requested = std::getenv("DYADC_SESSION");
    if (requested != nullptr) {
        if (!validName(requested)) return privateMemory(size, initialValues, sharedMemoryReasonName);
        // Both fit: checked above.
        (void)std::snprintf(attachment.name, sizeof attachment.name, "/%s", requested);
        (void)std::snprintf(attachment.lockName, sizeof attachment.lockName, "/%s.lock", requested);
    }

    const int64_t giveUp = monotonicMilliseconds() + lockWaitMilliseconds;
    int32_t reason = 0;
    int lockHandle = -1;
    for (;;) {
        lockHandle = openLockObject(&reason);
        if (lockHandle < 0) return privateMemory(size, initialValues, reason);
        if (!lockBefore(lockHandle, F_WRLCK, attachByte, giveUp)) {
            ::close(lockHandle);
            return privateMemory(size, initialValues, sharedMemoryReasonBusy);
        }
        if (!removed(lockHandle)) break;
        ::close(lockHandle);  // the last holder removed it meanwhile: the next is new
        if (monotonicMilliseconds() >= giveUp) return privateMemory(size, initialValues, sharedMemoryReasonBusy);
    }

    const size_t total = sessionOffset + size;
    SharedMemory result{nullptr, false, true, 0};
    void* mapping = nullptr;
    if (lockByte(lockHandle, F_WRLCK, holdersByte) == 0) {
        // No other process holds the memory: start it afresh. The initial
        // values go in while attaches and detaches of other processes still
        // wait for this one.
        mapping = createSegment(total, &result.reason);
        if (mapping != nullptr) {
            std::memcpy(static_cast<unsigned char*>(mapping) + sessionOffset, initialValues, size);
            *static_cast<SegmentHeader*>(mapping) = SegmentHeader{segmentMagic, layout, size, holderTableFormat};
            result.initialised = true;
        }
        (void)lockByte(lockHandle, F_RDLCK, holdersByte);  // converts the lock: cannot fail
    } else if (lockByte(lockHandle, F_RDLCK, holdersByte) == 0) {
        mapping = joinSegment(total, size, layout, &result.reason);
    } else {
        result.reason = sharedMemoryReasonBusy;  // held exclusively outside an attach
    }

    struct stat status {};
    if (mapping != nullptr && ::fstat(lockHandle, &status) == 0) {
        attachment.lockHandle = lockHandle;
        attachment.lockDevice = status.st_dev;
        attachment.lockInode = status.st_ino;
        attachment.table = reinterpret_cast<HolderTable*>(static_cast<unsigned char*>(mapping) +
                                                          sizeof(SegmentHeader));
        identity = takePlace(lockHandle);
    }
    if (identity == 0) {
        if (mapping != nullptr) {
            ::munmap(mapping, total);
            result.reason = sharedMemoryReasonSystem;  // every place taken
        }
        // Alone, this process leaves nothing behind either.
        if (lockByte(lockHandle, F_WRLCK, holdersByte) == 0) {
            if (result.initialised) (void)::shm_unlink(attachment.name);
            (void)::shm_unlink(attachment.lockName);
        }
        ::close(lockHandle);  // drops every lock
        attachment.lockHandle = -1;
        attachment.table = nullptr;
        return privateMemory(size, initialValues, result.reason);
    }
    (void)lockByte(lockHandle, F_UNLCK, attachByte);
    attachment.mapping = mapping;
    attachment.mappingSize = total;
    attachment.shared = true;
    result.data = static_cast<unsigned char*>(mapping) + sessionOffset;
    return result;
}

void detachSharedMemory() {
    if (attachment.owner != ::getpid()) {
        // A forked child shares its parent's memory: it must neither release
        // the parent's hold nor discard the memory under it.
        return;
    }
    if (!attachment.shared) {
        if (attachment.mapping != nullptr) ::munmap(attachment.mapping, attachment.mappingSize);
        attachment = Attachment{};
        identity = 0;
        return;
    }
    // The place is free from now on; its lock goes with the handle below.
    ProcessIdentity mine = identity;
    if ((mine & maximumHolders) != 0) {
        Holder& holder = attachment.table->holders[(mine & maximumHolders) - 1];
        std::atomic_ref<uint64_t>(holder.identity).compare_exchange_strong(mine, 0);
    }
    const int handle = attachment.lockHandle;
    const bool serialised = lockBefore(handle, F_WRLCK, attachByte,
                                       monotonicMilliseconds() + lockWaitMilliseconds);
    ::munmap(attachment.mapping, attachment.mappingSize);
    // The last holder removes both objects, unless they have been replaced
    // meanwhile (then they are not its own to remove). One that cannot wait
    // for its turn leaves the objects to the next process that starts alone.
    if (serialised && lockByte(handle, F_WRLCK, holdersByte) == 0 && !removed(handle)) {
        (void)::shm_unlink(attachment.name);
        (void)::shm_unlink(attachment.lockName);
    }
    ::close(handle);
    attachment = Attachment{};
    identity = 0;
}

ProcessIdentity currentProcess() {
    const ProcessIdentity known = std::atomic_ref<ProcessIdentity>(identity).load();
    if (known != 0) return known;
    handleForks();
    pthread_mutex_lock(&identityLock);
    ProcessIdentity made = identity;
    if (made == 0 && attachment.shared) made = placeOfForkedChild();
    if (made == 0) made = identityWithoutPlace(currentProcessId());
    std::atomic_ref<ProcessIdentity>(identity).store(made);
    pthread_mutex_unlock(&identityLock);
    return made;
}

bool processAlive(ProcessIdentity process) {
    if (process == 0) return false;
    if (process == currentProcess()) return true;
    const uint64_t place = process & maximumHolders;
    if (place == 0) return aliveWithoutPlace(process);
    // A place exists only in the shared memory: in a Session of its own, this
    // process sees no other process's.
    if (!attachment.shared) return false;
    if (std::atomic_ref<uint64_t>(attachment.table->holders[place - 1].identity).load() != process) return false;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = firstPlaceByte + static_cast<off_t>(place);
    probe.l_len = 1;
    // A process that cannot tell is never taken for dead.
    if (attachment.lockHandle < 0 || ::fcntl(attachment.lockHandle, F_OFD_GETLK, &probe) != 0) return true;
    return probe.l_type != F_UNLCK;
}

ProcessIdentity processIdentityOf(int32_t processId) {
    if (!attachment.shared || processId <= 0) return 0;
    const uint64_t pidNamespace = currentPidNamespace();
    for (Holder& holder : attachment.table->holders) {
        const ProcessIdentity recorded = std::atomic_ref<uint64_t>(holder.identity).load();
        if (recorded != 0 && processIdOf(recorded) == processId &&
            std::atomic_ref<uint64_t>(holder.pidNamespace).load() == pidNamespace && processAlive(recorded)) {
            return recorded;
        }
    }
    return 0;
}

void* peekSharedMemory(const char* name, uint32_t size, uint32_t layout) {
    if (!validName(name)) return nullptr;
    char object[maximumNameLength + 2];
    (void)std::snprintf(object, sizeof object, "/%s", name);  // fits: checked above
    int handle = ::shm_open(object, O_RDWR | O_CLOEXEC, 0);
    if (handle < 0) return nullptr;
    const size_t total = sessionOffset + size;
    struct stat status {};
    if (::fstat(handle, &status) != 0 || static_cast<size_t>(status.st_size) != total) {
        ::close(handle);
        return nullptr;
    }
    void* mapping = mapHandle(handle, total);
    if (mapping == nullptr) return nullptr;
    if (!headerFits(mapping, size, layout)) {
        ::munmap(mapping, total);
        return nullptr;
    }
    return static_cast<unsigned char*>(mapping) + sessionOffset;
}

void unmapSharedMemory(void* data, uint32_t size) {
    if (data == nullptr) return;
    ::munmap(static_cast<unsigned char*>(data) - sessionOffset, sessionOffset + size);
}

}  // namespace dyadc::platform
