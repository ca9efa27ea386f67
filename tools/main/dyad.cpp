// dyad: the command-line host program of the dyadc library.
//
//   dyad receive --id ID [--accept NAME ...] [--dir DIR]   act as the Responder
//                and store the files that the peer sends
//   dyad send --id ID FILE...                              act as the Initiator
//                and send the files
//   (receive --code [CODE], send --code CODE: a private transfer under a
//                one-time code instead of --id)
//   dyad pair --id ID --role initiator|responder           pair, report, close
//   dyad listen --id ID                                    show the announces
//                that arrive, marking those with ID
//   dyad --version                                         dyad's version and
//                the loaded library's
//
// This file parses the command line and runs the command it names
// (commands.h); how files travel is in format.h, and how the files of the
// command depend on each other is in levels.txt.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "dyadc.h"
#include "tools/base/options.h"
#include "tools/base/system.h"
#include "tools/commands/commands.h"
#include "tools/format/format.h"
#include "tools/library/loaded.h"

namespace dyad {
namespace {

// The pairing identifier and the interface mask, which listen takes too.
// The identifier is required unless `code` (send and receive, where --code
// stands for it): the option, for the caller to tie --code to.
CLI::Option* addIdentifierAndMask(CLI::App* command, Options& options, bool code = false) {
    CLI::Option* id = command
                          ->add_option("--id", options.id,
                                       "pairing identifier shared by both sides (at most 63 characters)")
                          ->check([](const std::string& text) {
                              return text.size() <= DYAD_IDENTIFIER_MAX ? std::string()
                                                                        : std::string("at most 63 characters");
                          });
    if (!code) id->required();
    command->add_option("--mask", options.mask, "use only interfaces whose address matches, e.g. 192.168.0.0");
    return id;
}

// The options that every command that pairs takes, into `options`; `code`:
// --id is optional (--code replaces it).
CLI::Option* addCommon(CLI::App* command, Options& options, bool code = false) {
    CLI::Option* id = addIdentifierAndMask(command, options, code);
    command->add_option("--timeout", options.timeout,
                        "seconds to wait for the peer and for each block (0: forever)");
    command->add_option("--log", options.logPath, "diagnostic log file");
    command->add_option("--log-level", options.logLevel, "0 off, 1 basic, 2 every line (default 1 with --log)")
        ->check(CLI::Range(0, 2));
    command->add_option("--block-size", options.blockSize, "bytes per block and receive buffer (default 4 MiB)")
        ->check(CLI::Range(smallestBlockSize, 1u << 30));
    command->add_flag("--quiet", options.quiet, "no progress display");
    return id;
}

// --code, which replaces --id: `help` says what it does here. Receive takes
// it without a value too (a fresh code).
CLI::Option* addCode(CLI::App* command, Options& options, CLI::Option* id, bool valueOptional, const char* help) {
    CLI::Option* code = command->add_option("--code", options.code, help)->excludes(id);
    if (valueOptional) code->expected(0, 1);
    return code;
}

// What --version prints: dyad's version (the build's) and that of the
// library it loaded, with the library's file.
std::string versionReport() {
    const sys::LoadedLibrary library = sys::loadedLibrary();
    std::string report = "dyad " DYAD_TOOL_VERSION "\ndyadc library ";
    report += library.versioned ? std::to_string(library.major) + "." + std::to_string(library.minor)
                                : std::string("of unknown version (it has no version record)");
    report += ", loaded from " + (library.path.empty() ? std::string("an unknown file") : library.path);
    return report;
}

// Seconds that listen listens when no --timeout is given.
constexpr uint32_t listenSeconds = 10;

// --checksum, into `options`.
void addChecksum(CLI::App* command, Options& options, const char* help) {
    command->add_option("--checksum", options.checksum, help)
        ->transform(CLI::CheckedTransformer(
            std::map<std::string, Checksum>{{"xxh128", Checksum::xxh128}, {"sha256", Checksum::sha256}}));
}

// For send and receive (`code`: the command's --code): whether the command line
// names how to pair, --id or --code; records in `options` whether --code
// was given. A command that was not run passes.
bool pairsBy(const CLI::App* command, const CLI::Option* code, Options& options) {
    if (!command->parsed()) return true;
    options.codeGiven = code->count() > 0;
    if (options.codeGiven || command->count("--id") > 0) return true;
    std::fprintf(stderr, "dyad: %s needs --id or --code\nRun with --help for more information.\n",
                 command->get_name().c_str());
    return false;
}

}  // namespace
}  // namespace dyad

namespace {

int run(int argc, char** argv) {
    using namespace dyad;
    Options options;
    CLI::App app{"dyad: pairs two workstations of a local network and moves files between them"};
    app.require_subcommand(1);
    app.set_version_flag("--version", versionReport,
                         "print dyad's version and that of the dyadc library it loaded");
    app.footer(
        "Exit status: 0 done (send: every file sent and confirmed; receive: every file the peer sent stored and "
        "verified, nothing refused or dropped, at least one file); 2 bad arguments; 3 the pairing was refused "
        "(the peer refused this computer's name, or receive could accept nobody: no --accept and no terminal); "
        "4 a time limit passed; 5 a connection failed or the peer went away; 6 a local socket or the mask is "
        "unusable; 7 a newer library was transferred, the messages say what to do with it; 8 a file was not sent "
        "or not stored (it could not be read or written, changed while it was sent, its name or size was refused, "
        "two paths would arrive under one name, a file of its name exists, bytes or a block header were dropped, "
        "or the peer closed without sending a file); 9 any other failure; 10 a received file failed its size or "
        "checksum check, or came without a checksum it knows; 11 listen: no announce with the identifier arrived "
        "(6: no usable interface); 12 a --code transfer did not authenticate: a wrong code, or the stream was "
        "altered, cut short or replayed (or the sender sent no private transfer), before every other status. A "
        "failed pairing, connection or "
        "time limit comes first; receive then reports "
        "its first problem, 10 before 8.");

    CLI::App* receive = app.add_subcommand("receive", "act as the Responder and store the files the peer sends");
    CLI::Option* receiveCode = addCode(
        receive, options, addCommon(receive, options, true), true,
        "a private transfer instead of --id: makes a one-time code (or uses CODE), prints it for the sender "
        "and opens every block with it; a code serves one transfer");
    receive->add_option("--accept", options.accept, "computer names to accept without asking");
    receive->add_option("--dir", options.dir, "directory for the received files (default: the current one)");
    receive->add_flag("--overwrite", options.overwrite, "replace files of the same name (default: refuse them)");
    receive->add_flag("--accept-unverified", options.acceptUnverified,
                      "store files that came without a checksum that this dyad knows (default: refuse them)");
    addChecksum(receive, options,
                "the checksum to compute as the first file arrives: xxh128 (the default) or sha256 (a file "
                "that names the other is read back once to check it)");

    CLI::App* send = app.add_subcommand("send", "act as the Initiator and send files");
    CLI::Option* sendCode = addCode(
        send, options, addCommon(send, options, true), false,
        "a private transfer instead of --id: the code that the receiver printed (dyad receive --code)");
    send->add_option("files", options.files, "files to send")->required();
    addChecksum(send, options,
                "the checksum to send with each file: xxh128 (the default) or sha256 (for receivers "
                "before xxh128)");

    CLI::App* pairing = app.add_subcommand("pair", "pair, report and close again");
    addCommon(pairing, options);
    pairing->add_option("--accept", options.accept, "computer names to accept without asking (responder)");
    pairing->add_option("--role", options.role, "initiator or responder")
        ->required()
        ->check(CLI::IsMember({"initiator", "responder"}));

    CLI::App* listen = app.add_subcommand(
        "listen", "show every announce that reaches this machine, marking those with --id; never connects");
    addIdentifierAndMask(listen, options);
    listen->add_option("--timeout", options.timeout, "seconds to listen (default 10; 0: until interrupted)");

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
    if (!pairsBy(receive, receiveCode, options) || !pairsBy(send, sendCode, options)) return exitUsage;
    if (receive->parsed()) return commandReceive(options);
    if (send->parsed()) return commandSend(options);
    if (listen->parsed()) {
        if (listen->count("--timeout") == 0) options.timeout = listenSeconds;
        return commandListen(options);
    }
    return commandPair(options);
}

}  // namespace

int main(int argc, char** argv) {
    dyad::sys::prepareConsole();
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {  // memory for the buffers, say
        std::fprintf(stderr, "dyad: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "dyad: an unexpected failure\n");
    }
    return dyad::exitOther;
}
