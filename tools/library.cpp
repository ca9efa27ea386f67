// The dyad command's calls of the dyadc library (library.h): the callbacks that
// pairing asks for, results as messages and exit statuses, and the hook-up
// of the log and of the progress display.
#include "tools/library.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "dyadc.h"
#include "tools/names.h"
#include "tools/system.h"

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

// Whether the last refusal of a computer name leaves something to wait for:
// another Initiator may present a name that is accepted.
bool waitAfterRefusal = false;

int32_t DYADC_CALL onVerify(const char* computerName) {
    const std::string name = escaped(computerName);
    waitAfterRefusal = false;
    for (const std::string& accepted : pairing->accept) {
        if (accepted == computerName) {
            std::fprintf(stderr, "dyad: accepted workstation %s\n", name.c_str());
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
    if (answer[0] == 'y' || answer[0] == 'Y') return 0;
    std::fprintf(stderr, "dyad: refused workstation %s; waiting for another\n", name.c_str());
    waitAfterRefusal = true;
    return 1;
}

void applyLog(const Options& options) {
    if (options.logPath.empty()) return;
    int level = options.logLevel >= 0 ? options.logLevel : 1;
    DyadSetLog(options.logPath.c_str(), 10u << 20, level);
}

}  // namespace

int fail(int32_t result, const std::string& doing) {
    std::fprintf(stderr, "dyad: %s: %s\n", doing.c_str(), describe(result).c_str());
    if (result == DYAD_UPDATED) {
        std::fprintf(stderr,
                     "dyad: the Responder stored the newer library as dyadc.dl_ beside its installed one; "
                     "install it there and pair again\n");
    }
    return exitFor(result);
}

int32_t pair(const Options& options, int32_t mode, const char* what) {
    pairing = &options;
    applyLog(options);
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
        const int32_t result = options.mask.empty()
                                   ? DyadOpen(onIdentifier, onVerify, limit, mode)
                                   : DyadOpenXOver(onIdentifier, onVerify, limit, mode, options.mask.c_str());
        // The Responder refused a stranger: the pairing it waits for may still come.
        if (result == DYAD_REFUSED && mode != 1 && waitAfterRefusal) continue;
        if (result == 0) {
            std::printf("%s in %.3f s\n", what, std::chrono::duration<double>(Clock::now() - began).count());
            std::fflush(stdout);
        }
        return result;
    }
}

}  // namespace dyad
