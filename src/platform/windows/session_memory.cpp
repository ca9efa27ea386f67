// The Session's shared memory: a named file mapping per user of the computer,
// "Local\dyadc-64-<the user's security identifier>" (32 for a 32-bit
// library), shared by every process of that user in the logon session that
// loads the library, and discarded by Windows when the last one closes it.
//
// A data section of the library shared between processes cannot be secured:
// every process that loads the file, of any user, could read and change the
// pairing in it and receive its blocks. The mapping is made with an access
// list that lets the user alone in, and one that exists already is used only
// when the user (or the user's default owner, Administrators for an elevated
// process) owns it and no one else is let in: anything else is another
// user's object under our name, and the process keeps a Session of its own,
// which the log reports.
//
// The mapping begins with a state word that tells whether the initial values
// are in place:
//   0  nobody has attached since the mapping was made;
//   1  the first process to attach is copying the initial values;
//   2  the initial values are in place.
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>

#include "platform/windows/win32.h"

namespace dyadc::platform {
namespace {

constexpr LONG stateFresh = 0;
constexpr LONG stateCopying = 1;
constexpr LONG stateReady = 2;
// How long an attach waits for another process to finish the initial values
// before it writes them itself (that process can only have died meanwhile).
constexpr int64_t copyWaitMilliseconds = 2000;
constexpr uint32_t privateCapacity = 16384;

struct Header {
    volatile LONG state;
    uint32_t layout;
    uint32_t size;
    uint32_t reserved;
};
static_assert(sizeof(Header) % 16 == 0, "the Session must stay 16-byte aligned");

struct Attachment {
    HANDLE mapping = nullptr;
    Header* view = nullptr;
};
// The process attaches once, when it loads the library; room for a few more
// (tests attach again), all released at detach.
Attachment attachments[4];
Attachment peeked;

// This process's own block when the mapping cannot serve, and the computer
// name that names the workstation in messages.
alignas(16) unsigned char privateBlock[privateCapacity];
char workstation[MAX_COMPUTERNAME_LENGTH + 1] = "dyadc";

SharedMemory privateMemory(uint32_t size, const void* initialValues, int32_t reason) {
    if (size > sizeof privateBlock) return SharedMemory{nullptr, false, false, reason};
    std::memcpy(privateBlock, initialValues, size);
    return SharedMemory{privateBlock, true, false, reason};
}

// The user of this process and the owner that its new objects get.
struct Identity {
    alignas(8) unsigned char user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    alignas(8) unsigned char owner[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_OWNER)];
    PSID userSid() { return reinterpret_cast<TOKEN_USER*>(user)->User.Sid; }
    PSID ownerSid() { return reinterpret_cast<TOKEN_OWNER*>(owner)->Owner; }
};

bool readIdentity(Identity* identity) {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) return false;
    DWORD length = 0;
    const bool read = GetTokenInformation(token, TokenUser, identity->user, sizeof identity->user, &length) != 0 &&
                      GetTokenInformation(token, TokenOwner, identity->owner, sizeof identity->owner, &length) !=
                          0;
    CloseHandle(token);
    return read;
}

// The mapping's name for this user; false when it cannot be made.
bool mappingName(Identity& identity, char* name, size_t size) {
    char* text = nullptr;
    if (ConvertSidToStringSidA(identity.userSid(), &text) == 0) return false;
    const int written = std::snprintf(name, size, "Local\\dyadc-%u-%s", static_cast<unsigned>(sizeof(void*) * 8),
                                      text);
    LocalFree(text);
    return written > 0 && static_cast<size_t>(written) < size;
}

// The user (or the user's default owner) owns the object, and its access
// list lets no one but the user in.
bool ownObject(HANDLE object, Identity& identity) {
    PSID owner = nullptr;
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &access, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool own = owner != nullptr && access != nullptr &&
               (EqualSid(owner, identity.userSid()) != 0 || EqualSid(owner, identity.ownerSid()) != 0);
    for (DWORD i = 0; own && i < access->AceCount; ++i) {
        void* entry = nullptr;
        if (GetAce(access, i, &entry) == 0) {
            own = false;
        } else if (static_cast<ACE_HEADER*>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            own = EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart, identity.userSid()) != 0;
        } else if (static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_DENIED_ACE_TYPE) {
            own = false;  // any other kind of entry may let someone in
        }
    }
    LocalFree(descriptor);
    return own;
}

// Maps the whole mapping and checks that it holds `total` bytes.
Header* mapView(HANDLE mapping, size_t total) {
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr) return nullptr;
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(view, &region, sizeof region) == 0 || region.RegionSize < total) {
        UnmapViewOfFile(view);
        return nullptr;
    }
    return static_cast<Header*>(view);
}

// Opens or makes the user's mapping and maps it. Null with the reason when it
// cannot be used.
Header* openMapping(size_t total, HANDLE* mapping, int32_t* reason) {
    Identity identity;
    char name[200];
    char access[200];
    char* sid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    *reason = sharedMemoryReasonSystem;
    if (!readIdentity(&identity) || !mappingName(identity, name, sizeof name)) return nullptr;
    if (ConvertSidToStringSidA(identity.userSid(), &sid) == 0) return nullptr;
    // Protected, and the user alone allowed in.
    const int written = std::snprintf(access, sizeof access, "D:P(A;;GA;;;%s)", sid);
    LocalFree(sid);
    if (written <= 0 || static_cast<size_t>(written) >= sizeof access ||
        ConvertStringSecurityDescriptorToSecurityDescriptorA(access, SDDL_REVISION_1, &descriptor, nullptr) == 0) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    *mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, static_cast<DWORD>(total),
                                  name);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (*mapping == nullptr) {
        if (error == ERROR_ACCESS_DENIED) *reason = sharedMemoryReasonOwner;
        return nullptr;
    }
    if (error == ERROR_ALREADY_EXISTS && !ownObject(*mapping, identity)) {
        *reason = sharedMemoryReasonOwner;
    } else if (Header* view = mapView(*mapping, total)) {
        return view;
    } else {
        *reason = sharedMemoryReasonLayout;  // smaller: another build's
    }
    CloseHandle(*mapping);
    *mapping = nullptr;
    return nullptr;
}

}  // namespace

const char* workstationName() {
    return workstation;
}

SharedMemory attachSharedMemory(uint32_t size, uint32_t layout, const void* initialValues) {
    DWORD length = sizeof workstation;
    if (GetComputerNameA(workstation, &length) == 0) std::strcpy(workstation, "dyadc");
    const size_t total = sizeof(Header) + size;
    int32_t reason = 0;
    HANDLE mapping = nullptr;
    Header* view = openMapping(total, &mapping, &reason);
    if (view == nullptr) return privateMemory(size, initialValues, reason);

    bool initialised = false;
    if (InterlockedCompareExchange(&view->state, stateCopying, stateFresh) == stateFresh) {
        initialised = true;
    } else {
        const int64_t giveUp = monotonicMilliseconds() + copyWaitMilliseconds;
        while (InterlockedCompareExchange(&view->state, stateReady, stateReady) != stateReady) {
            if (monotonicMilliseconds() > giveUp &&
                InterlockedCompareExchange(&view->state, stateCopying, stateCopying) == stateCopying) {
                initialised = true;
                break;
            }
            Sleep(1);
        }
    }
    unsigned char* bytes = reinterpret_cast<unsigned char*>(view) + sizeof(Header);
    if (initialised) {
        std::memcpy(bytes, initialValues, size);
        view->layout = layout;
        view->size = size;
        InterlockedExchange(&view->state, stateReady);
    } else if (view->layout != layout || view->size != size) {
        UnmapViewOfFile(view);
        CloseHandle(mapping);
        return privateMemory(size, initialValues, sharedMemoryReasonLayout);
    }
    for (Attachment& free : attachments) {
        if (free.mapping != nullptr) continue;
        free = Attachment{mapping, view};
        return SharedMemory{bytes, initialised, true, 0};
    }
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    return privateMemory(size, initialValues, sharedMemoryReasonSystem);
}

void detachSharedMemory() {
    // Windows discards the mapping when its last handle is closed.
    for (Attachment& attachment : attachments) {
        if (attachment.view != nullptr) UnmapViewOfFile(attachment.view);
        if (attachment.mapping != nullptr) CloseHandle(attachment.mapping);
        attachment = Attachment{};
    }
}

void* peekSharedMemory(const char* /*name*/, uint32_t size, uint32_t layout) {
    // There is one workstation per user here: the viewer's. Its handle keeps
    // the mapping while it looks at it.
    if (peeked.mapping != nullptr) return nullptr;
    Identity identity;
    char name[200];
    if (!readIdentity(&identity) || !mappingName(identity, name, sizeof name)) return nullptr;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
    if (mapping == nullptr) return nullptr;
    Header* view = ownObject(mapping, identity) ? mapView(mapping, sizeof(Header) + size) : nullptr;
    if (view == nullptr || view->state != stateReady || view->layout != layout || view->size != size) {
        if (view != nullptr) UnmapViewOfFile(view);
        CloseHandle(mapping);
        return nullptr;
    }
    peeked = Attachment{mapping, view};
    return reinterpret_cast<unsigned char*>(view) + sizeof(Header);
}

void unmapSharedMemory(void* data, uint32_t /*size*/) {
    if (data == nullptr || peeked.mapping == nullptr) return;
    UnmapViewOfFile(peeked.view);
    CloseHandle(peeked.mapping);
    peeked = Attachment{};
}

}  // namespace dyadc::platform
