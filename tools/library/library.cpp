// The dyad command's calls of the dyadc library (library.h): the callbacks that
// pairing asks for, results as messages and exit statuses, and the hook-up
// of the log and of the progress display.
#include "tools/library/library.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "dyadc.h"
#include "tools/base/names.h"
#include "tools/base/system.h"
#include "tools/library/loaded.h"

namespace dyad {
namespace {

// The progress display that the library's reports go to. Set and cleared by
// the main thread while no disk thread runs.
Progress* activeProgress = nullptr;

}  // namespace

void showProgress(Progress* progress) {
    activeProgress = progress;
}

void DYADC_CALL onProgress(double bytesTransferred) {
    if (activeProgress != nullptr) activeProgress->update(bytesTransferred);
}

Progress::Style progressStyle(const Options& options) {
    if (options.quiet) return Progress::Style::none;
    return sys::isTerminal(stderr) ? Progress::Style::bar : Progress::Style::lines;
}

const char* messageStart() {
    return activeProgress != nullptr && activeProgress->style() == Progress::Style::bar ? "\r\033[K" : "";
}

std::string describe(int32_t result) {
    const char* meaning = "the library reported an error";
    switch (result) {
#define DYAD_MEANING(name, value, text) \
    case value:                         \
        meaning = text;                 \
        break;
        DYAD_RESULT_MAP(DYAD_MEANING)
#undef DYAD_MEANING
        default:
            break;
    }
    return std::string(meaning) + " (" + std::to_string(result) + ")";
}

namespace {

using Clock = std::chrono::steady_clock;

int exitFor(int32_t result) {
    switch (result) {
        case DYAD_OK:
            return exitOk;
        case DYAD_SOCKET_FAILED:
        case DYAD_BAD_MASK:
            return exitLocal;
        case DYAD_UPDATED:
            return exitUpdated;
        case DYAD_CONNECTION_FAILED:
        case DYAD_UPDATE_FAILED:
        case DYAD_PEER_CLOSED:
            return exitConnection;
        case DYAD_TIMED_OUT:
            return exitTimedOut;
        case DYAD_REFUSED:
            return exitRefused;
        default:
            return exitOther;
    }
}

// The options of the pairing under way, for the library's callbacks (which
// it calls only while it pairs).
const Options* pairing = nullptr;

int32_t DYADC_CALL onIdentifier(char* buffer) {
    std::snprintf(buffer, DYAD_IDENTIFIER_BUFFER_SIZE, "%s", pairing->id.c_str());
    return 0;
}

// The role of the pairing under way or last made: 1 Initiator, 2 Responder.
int32_t pairingMode = 0;

// Whether the last refusal of a computer name leaves something to wait for:
// another Initiator may present a name that is accepted.
bool waitAfterRefusal = false;
// Whether the Responder accepted a computer name in its last attempt.
bool acceptedName = false;

int32_t DYADC_CALL onVerify(const char* computerName) {
    const std::string name = escaped(computerName);
    waitAfterRefusal = false;
    for (const std::string& accepted : pairing->accept) {
        if (accepted == computerName) {
            std::fprintf(stderr, "dyad: accepted workstation %s\n", name.c_str());
            acceptedName = true;
            return 0;
        }
    }
    if (!pairing->accept.empty()) {
        std::fprintf(stderr, "dyad: refused workstation %s (not in --accept); waiting for another\n",
                     name.c_str());
        waitAfterRefusal = true;
        return 1;
    }
    if (!sys::isTerminal(stdin)) {
        std::fprintf(stderr, "dyad: refused workstation %s (no --accept given and no terminal to ask)\n",
                     name.c_str());
        return 1;
    }
    std::fprintf(stderr, "Workstation %s wants to pair. Accept it? [y/N] ", name.c_str());
    std::fflush(stderr);
    char answer[16] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) return 1;  // nobody left to ask
    if (answer[0] == 'y' || answer[0] == 'Y') {
        acceptedName = true;
        return 0;
    }
    std::fprintf(stderr, "dyad: refused workstation %s; waiting for another\n", name.c_str());
    waitAfterRefusal = true;
    return 1;
}

// After a Responder stored a library update, the Initiator's library looks
// for it once more: announces under no identifier, which that look ends at
// at once (999, which an Initiator sees only after an update it sent), keep
// the Initiator from waiting out its time limit. Nobody is accepted.
int32_t DYADC_CALL noIdentifier(char* buffer) {
    buffer[0] = '\0';
    return 0;
}
int32_t DYADC_CALL refuseEveryone(const char*) {
    return 1;
}
constexpr uint32_t storedAnnounceSeconds = 2;

// What a person needs to know about an update that the pairing moved, or
// that it could not store (`result` 100 after the Responder accepted a
// name), beyond the result's meaning; "" when nothing. fail() adds it to the
// pairing's failure.
std::string pairingNote;
std::string updateNote(int32_t result) {
    if (pairingMode == 1 && result == DYAD_UPDATED) {
        return "the peer's library is older: it stored this workstation's newer one as dyadc.dl_ beside its "
               "installed library. A library installed from source is updated by putting that file in its "
               "place; one installed from a package, with the newer package. Then pair again.";
    }
    if (pairingMode == 1 && result == DYAD_UPDATE_FAILED) {
        return "the peer's library is older and asked for this workstation's, but could not store it (its "
               "library's folder is not writable, for one; its log says why). Install the newer version there, "
               "from the package or from source, and pair again.";
    }
    if (pairingMode != 2 || !(result == DYAD_UPDATED || (result == DYAD_CONNECTION_FAILED && acceptedName))) {
        return "";
    }
    const sys::UpdateFolder folder = sys::updateFolder();
    if (result == DYAD_UPDATED) {
        return "the peer's newer library was stored as " + folder.stored +
               ". It is meant for a library "
               "installed from source: put it in the place of " +
               folder.installed +
               " and pair again. A library "
               "installed from a package is updated with the newer package instead (the stored file is not "
               "used, and removing the package removes it); to keep received updates apart from the package, "
               "set DYADC_SYSTEM_DIR (see dyadc(3)).";
    }
    if (!folder.writable) {
        return folder.folder +
               " is not writable by this user: when the peer's library is newer, it sends it "
               "as an update, which cannot be stored there (the log says so from --log-level 1). A library "
               "installed from a package is updated with the newer package; to keep received updates, set "
               "DYADC_SYSTEM_DIR (see dyadc(3)).";
    }
    return "";
}

void applyLog(const Options& options) {
    if (options.logPath.empty()) return;
    int level = options.logLevel >= 0 ? options.logLevel : 1;
    DyadSetLog(options.logPath.c_str(), 10u << 20, level);
}

}  // namespace

int fail(int32_t result, const std::string& doing) {
    std::fprintf(stderr, "dyad: %s: %s\n", doing.c_str(), describe(result).c_str());
    if (!pairingNote.empty()) std::fprintf(stderr, "dyad: %s\n", pairingNote.c_str());
    pairingNote.clear();
    return exitFor(result);
}

int32_t pair(const Options& options, int32_t mode, const char* what) {
    pairing = &options;
    pairingMode = mode;
    applyLog(options);
    const auto open = [&options, mode](DyadIdentifierCallback identifier, DyadVerifyCallback verify,
                                       uint32_t limit) {
        return options.mask.empty() ? DyadOpen(identifier, verify, limit, mode)
                                    : DyadOpenXOver(identifier, verify, limit, mode, options.mask.c_str());
    };
    const auto began = Clock::now();
    for (bool first = true;; first = false) {
        // The first attempt has the whole time limit; one after a refused
        // workstation what is left of it, in whole seconds (0: no limit).
        uint32_t limit = options.timeout;
        if (options.timeout != 0 && !first) {
            const auto passed = std::chrono::ceil<std::chrono::seconds>(Clock::now() - began).count();
            if (passed >= options.timeout) return DYAD_TIMED_OUT;
            limit = options.timeout - static_cast<uint32_t>(passed);
        }
        waitAfterRefusal = false;
        acceptedName = false;
        int32_t result = open(onIdentifier, onVerify, limit);
        // The Responder refused a stranger: the pairing it waits for may still come.
        if (result == DYAD_REFUSED && mode != 1 && waitAfterRefusal) continue;
        // The Responder closed this Initiator's connection before it answered:
        // it refused another workstation that was ahead of this one (and
        // drops every connection that waits with it), or the connection broke.
        // The Responder goes on waiting for the workstation it accepts.
        if (result == DYAD_CONNECTION_FAILED && mode == 1) {
            std::fprintf(stderr, "dyad: pairing: %s; trying again\n", describe(result).c_str());
            continue;
        }
        // The update went through and the Responder said so (see
        // noIdentifier).
        if (result == DYAD_OTHER_IDENTIFIER && mode == 1) result = DYAD_UPDATED;
        if (result == DYAD_UPDATED && mode != 1) (void)open(noIdentifier, refuseEveryone, storedAnnounceSeconds);
        if (result == 0) {
            std::printf("%s in %.3f s\n", what, std::chrono::duration<double>(Clock::now() - began).count());
            std::fflush(stdout);
        }
        pairingNote = updateNote(result);
        return result;
    }
}

}  // namespace dyad
