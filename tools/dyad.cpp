// dyad: the command-line host program of the dyadc library.
//
//   dyad receive --id ID [--accept NAME ...] [--dir DIR]   act as the Responder
//                and store the files that the peer sends
//   dyad send --id ID FILE...                              act as the Initiator
//                and send the files
//   dyad pair --id ID --role initiator|responder           pair, report, close
//
// How files travel: tools/format.h.
#include "tools/dyad.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "dyadc.h"
#include "tools/names.h"
#include "tools/system.h"

namespace dyad {

Options options;
Progress* activeProgress = nullptr;

void onProgress(double bytesTransferred) {
    if (activeProgress != nullptr) activeProgress->update(bytesTransferred);
}

Progress::Style progressStyle() {
    if (options.quiet) return Progress::Style::none;
    return sys::isTerminal(stderr) ? Progress::Style::bar : Progress::Style::lines;
}

const char* messageStart() {
    return progressStyle() == Progress::Style::bar ? "\r\033[K" : "";
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

int32_t onIdentifier(char* buffer) {
    std::snprintf(buffer, DYAD_IDENTIFIER_BUFFER_SIZE, "%s", options.id.c_str());
    return 0;
}

// Whether the last refusal of a computer name leaves something to wait for:
// another Initiator may present a name that is accepted.
bool waitAfterRefusal = false;

int32_t onVerify(const char* computerName) {
    const std::string name = escaped(computerName);
    waitAfterRefusal = false;
    for (const std::string& accepted : options.accept) {
        if (accepted == computerName) {
            std::fprintf(stderr, "dyad: accepted workstation %s\n", name.c_str());
            return 0;
        }
    }
    if (!options.accept.empty()) {
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

void applyLog() {
    if (options.logPath.empty()) return;
    int level = options.logLevel >= 0 ? options.logLevel : 1;
    DyadSetLog(options.logPath.c_str(), 10u << 20, level);
}

int commandPair() {
    const bool initiator = options.role == "initiator";
    const std::string what = "paired as " + options.role;
    int32_t result = pair(initiator ? 1 : 2, what.c_str());
    if (result != 0) return fail(result, "pairing");
    DyadClose();
    return exitOk;
}

void addCommon(CLI::App* command) {
    command->add_option("--id", options.id, "pairing identifier shared by both sides (at most 63 characters)")
        ->required()
        ->check([](const std::string& id) {
            return id.size() <= DYAD_IDENTIFIER_MAX ? std::string() : std::string("at most 63 characters");
        });
    command->add_option("--timeout", options.timeout,
                        "seconds to wait for the peer and for each block (0: forever)");
    command->add_option("--mask", options.mask, "use only interfaces whose address matches, e.g. 192.168.0.0");
    command->add_option("--log", options.logPath, "diagnostic log file");
    command->add_option("--log-level", options.logLevel, "0 off, 1 basic, 2 every line (default 1 with --log)")
        ->check(CLI::Range(0, 2));
    command->add_option("--block-size", options.blockSize, "bytes per block and receive buffer (default 4 MiB)")
        ->check(CLI::Range(smallestBlockSize, 1u << 30));
    command->add_flag("--quiet", options.quiet, "no progress display");
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

int32_t pair(int32_t mode, const char* what) {
    applyLog();
    const auto began = Clock::now();
    for (;;) {
        // What is left of the time limit, in whole seconds (0: no limit).
        uint32_t limit = 0;
        if (options.timeout != 0) {
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

namespace {

int run(int argc, char** argv) {
    using namespace dyad;
    CLI::App app{"dyad: pairs two workstations of a local network and moves files between them"};
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 done (send: every file sent and confirmed; receive: every file the peer sent stored and "
        "verified, nothing refused or dropped, at least one file); 2 bad arguments; 3 the pairing was refused "
        "(the peer refused this computer's name, or receive could accept nobody: no --accept and no terminal); "
        "4 a time limit passed; 5 a connection failed or the peer went away; 6 a local socket or the mask is "
        "unusable; 7 a newer library was transferred, install it and pair again; 8 a file was not sent or not "
        "stored (it could not be read or written, its name or size was refused, a file of its name exists, bytes "
        "or a block header were dropped, or the peer closed without sending a file); 9 any other failure; 10 a "
        "received file failed its size or SHA-256 check, or came without a checksum. Receive reports the first "
        "problem, 10 before 8.");

    CLI::App* receive = app.add_subcommand("receive", "act as the Responder and store the files the peer sends");
    addCommon(receive);
    receive->add_option("--accept", options.accept, "computer names to accept without asking");
    receive->add_option("--dir", options.dir, "directory for the received files (default: the current one)");
    receive->add_flag("--overwrite", options.overwrite, "replace files of the same name (default: refuse them)");
    receive->add_flag("--accept-unverified", options.acceptUnverified,
                      "store files that an earlier sender sent without a SHA-256 (default: refuse them)");

    CLI::App* send = app.add_subcommand("send", "act as the Initiator and send files");
    addCommon(send);
    send->add_option("files", options.files, "files to send")->required();

    CLI::App* pairing = app.add_subcommand("pair", "pair, report and close again");
    addCommon(pairing);
    pairing->add_option("--accept", options.accept, "computer names to accept without asking (responder)");
    pairing->add_option("--role", options.role, "initiator or responder")
        ->required()
        ->check(CLI::IsMember({"initiator", "responder"}));

    // Arguments as text (on Windows, decoded from the wide command line).
    std::vector<std::string> arguments = sys::arguments(argc, argv);
    std::vector<char*> pointers;
    pointers.reserve(arguments.size());
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? exitOk : exitUsage;
    }
    if (receive->parsed()) return commandReceive();
    if (send->parsed()) return commandSend();
    return commandPair();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {  // memory for the buffers, say
        std::fprintf(stderr, "dyad: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "dyad: an unexpected failure\n");
    }
    return dyad::exitOther;
}
