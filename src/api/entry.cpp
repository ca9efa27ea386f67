// Load and unload: the Session comes into being, the environment may force
// the log on, and the installed library file's version record becomes the
// version text that the pairing exchanges. Unloading trims the log.
#include "api/entry.h"

#include <cstdio>

#include "log/log.h"
#include "session/session.h"
#include "session/system_files.h"

namespace dyadc {
namespace {

constexpr uint32_t forcedLogSizeLimit = 250000;

// A process that could not share its workstation's Session works on its own;
// the log says why.
void reportUnsharedSession() {
    switch (sessionSharingProblem()) {
        case platform::sharedMemoryReasonName:
            LOG_BASIC(
                "Warning: DYADC_SESSION is not a usable workstation name; "
                "this process keeps its Session to itself");
            break;
        case platform::sharedMemoryReasonLayout:
            LOG_BASIC(
                "Warning: workstation %s is held by a build with another Session layout; "
                "this process keeps its Session to itself",
                platform::workstationName());
            break;
        case platform::sharedMemoryReasonOwner:
            LOG_BASIC(
                "Warning: workstation %s belongs to another user, or allows others in; "
                "this process keeps its Session to itself",
                platform::workstationName());
            break;
        case platform::sharedMemoryReasonBusy:
            LOG_BASIC(
                "Warning: workstation %s stays locked by another process; "
                "this process keeps its Session to itself",
                platform::workstationName());
            break;
        case platform::sharedMemoryReasonSystem:
            LOG_BASIC("Warning: workstation %s cannot be shared; this process keeps its Session to itself",
                      platform::workstationName());
            break;
        default:
            break;
    }
}

}  // namespace

void formatVersionText(uint32_t major, uint32_t minor, char* text, unsigned size) {
    const int written = std::snprintf(text, size, "%u.%02u", major, minor);
    // A version too long for the text is no version that compares right.
    if (written < 0 || static_cast<unsigned>(written) >= size) text[0] = '\0';
}

void onProcessAttach() {
    ProcessSession& p = processSession();
    if (platform::environmentDefined("DYADDEBUG")) {
        p.logForced = 1;
        p.logDetail = 1;
        p.logEnabled = 1;
        copyText(p.logPath, sizeof p.logPath, platform::defaultLogPath);
        p.logSizeLimit = forcedLogSizeLimit;
    }

    char path[systemPathSize];
    const bool found = systemFilePath(platform::installedLibraryName, path);
    LOG_DETAIL("system dll %s", path);

    platform::VersionRecord record{};
    if (found && platform::readVersionRecord(path, &record) == 0) {
        formatVersionText(record.fileVersionMost, record.fileVersionLeast, p.versionText, sizeof p.versionText);
    }
    LOG_DETAIL("DYADC running version %s", p.versionText);
}

void onProcessDetach() {
    ProcessSession& p = processSession();
    // A log that cannot be trimmed stays as it was: nothing else to do at unload.
    if (p.logEnabled == 1 || p.logDetail == 1) (void)trimLog(p.logPath, p.logSizeLimit);
}

int32_t libraryEntry(void* /*module*/, uint32_t reason, void* /*reserved*/) {
    switch (reason) {
        case reasonProcessAttach:
            attachSession();
            onProcessAttach();
            reportUnsharedSession();
            break;
        case reasonProcessDetach:
            // A forked child that ends was never attached itself.
            if (!sessionAttachedHere()) break;
            onProcessDetach();
            detachSession();
            break;
        default:
            break;
    }
    return 1;
}

}  // namespace dyadc
