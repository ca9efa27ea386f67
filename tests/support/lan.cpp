// Test support: the lan tool driven from C++, processes in workstations, and
// the network-namespace guard.
#include "tests/support/lan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <thread>

namespace dyadc::test {
namespace {

std::vector<char*> cStrings(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

struct NamespaceId {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
    bool operator==(const NamespaceId& other) const {
        return known && other.known && device == other.device && inode == other.inode;
    }
};

NamespaceId namespaceOf(const char* path) {
    struct stat status {};
    if (stat(path, &status) != 0) return {};
    return {status.st_dev, status.st_ino, true};
}

// The network namespace that the test program started in: the machine's own
// (tests are started outside every workstation). Taken before any thread can
// move, since the first process's namespace cannot always be read.
const NamespaceId startingNamespace = namespaceOf("/proc/self/ns/net");

}  // namespace

std::string lanTool() {
    return DYADC_TEST_LAN_TOOL;
}
std::string helperPath(const std::string& name) {
    return std::string(DYADC_TEST_HELPER_DIR) + "/" + name;
}
std::string libraryPath() {
    return DYADC_TEST_LIBRARY;
}

bool offTheMachineNetwork() {
    const NamespaceId current = namespaceOf("/proc/thread-self/ns/net");
    if (!current.known || !startingNamespace.known) {
        ADD_FAILURE() << "cannot tell which network namespace this thread is in: refusing to touch the network";
        return false;
    }
    if (current == startingNamespace || current == namespaceOf("/proc/1/ns/net")) {
        ADD_FAILURE() << "refusing to touch the network from the machine's own namespace";
        return false;
    }
    return true;
}

// --- Child -----------------------------------------------------------------

Child::Child(pid_t pid, std::string outputPath, int inputFd)
    : pid_(pid), reaped_(false), outputPath_(std::move(outputPath)), input_(inputFd) {}

Child::Child(Child&& other) noexcept {
    *this = std::move(other);
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (!reaped_ && pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (input_ >= 0) close(input_);
        pid_ = other.pid_;
        status_ = other.status_;
        reaped_ = other.reaped_;
        outputPath_ = std::move(other.outputPath_);
        input_ = other.input_;
        other.pid_ = -1;
        other.reaped_ = true;
        other.input_ = -1;
    }
    return *this;
}

Child::~Child() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (input_ >= 0) close(input_);
}

int Child::wait(std::chrono::seconds limit) {
    if (reaped_) return status_;
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
            status_ = -1;
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

bool Child::running() {
    if (reaped_) return false;
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

void Child::kill(int signal) {
    if (!reaped_ && pid_ > 0) ::kill(pid_, signal);
}

void Child::closeInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
}

void Child::writeInput(const std::string& text) {
    // A child that has ended must fail the test, not end it with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    if (input_ >= 0 && ::write(input_, text.data(), text.size()) < 0) ADD_FAILURE() << "write to child failed";
}

std::string Child::output() const {
    return readFile(outputPath_);
}

bool Child::waitForOutput(const std::string& text, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (output().find(text) != std::string::npos) return true;
        if (!running()) return output().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// --- Lan -------------------------------------------------------------------

Lan::Lan() : Lan(Options{}) {}

Lan::Lan(const Options& options) {
    originalNetwork_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    std::vector<std::string> argv{lanTool(), "up", "--hosts", std::to_string(options.hosts)};
    if (!options.hostnames.empty()) argv.insert(argv.end(), {"--hostnames", options.hostnames});
    if (options.secondSegment) argv.push_back("--second-segment");
    if (options.down) argv.push_back("--down");
    if (options.noMulticast) argv.push_back("--no-multicast");
    if (options.pointToPoint) argv.push_back("--point-to-point");
    if (options.extra > 0) argv.insert(argv.end(), {"--extra", std::to_string(options.extra)});
    if (!options.isolated.empty()) argv.insert(argv.end(), {"--isolated", options.isolated});
    if (options.synRetries > 0) argv.insert(argv.end(), {"--syn-retries", std::to_string(options.synRetries)});

    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    auto args = cStrings(argv);
    keeper_ = fork();
    if (keeper_ == 0) {
        dup2(input[0], 0);
        dup2(output[1], 1);
        // The keeper must outlive a crash of this process only long enough to
        // see its standard input close; it then removes the LAN.
        setpgid(0, 0);
        execv(args[0], args.data());
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    keeperInput_ = input[1];

    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(output[0], buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.find("\nready\n") != std::string::npos) break;
    }
    close(output[0]);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "lan") {
            words >> name_;
        } else if (kind == "host") {
            Workstation w;
            words >> w.index >> w.ns >> w.session >> w.dir >> w.hostname >> w.addressA >> w.addressB;
            hosts_.push_back(w);
        } else if (kind == "ready") {
            ok_ = true;
        }
    }
    if (!ok_) ADD_FAILURE() << "the simulated LAN could not be created:\n" << text;
}

Lan::~Lan() {
    if (originalNetwork_ >= 0) {
        if (setns(originalNetwork_, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot leave the LAN";
        close(originalNetwork_);
    }
    if (keeperInput_ >= 0) close(keeperInput_);
    if (keeper_ > 0) {
        for (int i = 0; i < 300; ++i) {
            if (waitpid(keeper_, nullptr, WNOHANG) == keeper_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(keeper_, SIGTERM);
        waitpid(keeper_, nullptr, 0);
    }
}

Child Lan::spawn(int index, const std::vector<std::string>& argv,
                 const std::vector<std::string>& environment) const {
    const Workstation& w = host(index);
    // The build tree stays visible in the workstation even under /tmp.
    setenv("DYADC_LAN_KEEP", DYADC_TEST_BUILD_DIR, 1);
    std::vector<std::string> full{lanTool(), "exec", name_, std::to_string(index), "--", "env"};
    for (const std::string& entry : environment) {
        if (!entry.empty() && entry[0] == '-') {
            full.push_back("-u");
            full.push_back(entry.substr(1));
        } else {
            full.push_back(entry);
        }
    }
    full.insert(full.end(), argv.begin(), argv.end());
    std::string outputPath = w.dir + "/out-" + std::to_string(++spawned_) + ".txt";
    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0) return Child();
    auto args = cStrings(full);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(input[0], 0);
        dup2(out, 1);
        dup2(out, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    close(input[0]);
    return Child(pid, outputPath, input[1]);
}

int Lan::run(int index, const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             std::string* output, std::chrono::seconds limit) const {
    Child child = spawn(index, argv, environment);
    child.closeInput();
    int status = child.wait(limit);
    if (output != nullptr) *output = child.output();
    return status;
}

bool Lan::enter(int index) const {
    std::string path = "/run/netns/" + host(index).ns;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
        ADD_FAILURE() << "cannot enter " << path << ": " << std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    close(fd);
    return offTheMachineNetwork();
}

std::string probeField(const Lan& lan, int host, const std::string& name) {
    std::string output;
    lan.run(host, {helperPath("test-probe"), lan.host(host).session}, {}, &output);
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(name + " ", 0) == 0) return line.substr(name.size() + 1);
    }
    return "(missing)";
}

std::string libraryWithVersion(uint32_t major, uint32_t minor, size_t padding) {
    std::string bytes = readFile(libraryPath());
    // The record follows the note's name "DYADC" and its padding; the file
    // version's halves are its third and fourth words.
    size_t at = bytes.find(std::string("DYADC\0\0\0", 8));
    if (at == std::string::npos) {
        ADD_FAILURE() << "the built library has no version note";
        return bytes;
    }
    at += 8;
    std::memcpy(&bytes[at + 8], &major, 4);
    std::memcpy(&bytes[at + 12], &minor, 4);
    bytes.append(padding, '\x5a');
    return bytes;
}

}  // namespace dyadc::test
