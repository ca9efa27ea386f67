// Test support: simulated workstations (through the lan tool), processes
// started in them, and the guard that keeps every test off the machine's own
// network.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dyadc::test {

// Where the build put things (set by CMake).
std::string lanTool();
std::string helperPath(const std::string& name);
std::string libraryPath();

// Fails the calling test (and returns false) when the calling thread is in the
// machine's own network namespace.
bool offTheMachineNetwork();

struct Workstation {
    int index = 0;
    std::string ns;       // network namespace
    std::string session;  // DYADC_SESSION
    std::string dir;      // its directory: tmp/ (its /tmp) and system/
    std::string hostname;
    std::string addressA;  // 192.168.10.H, or "-"
    std::string addressB;  // 10.0.5.H on the second segment, or "-"

    std::string tmp() const { return dir + "/tmp"; }
    std::string system() const { return dir + "/system"; }
    // The default log as seen from outside the workstation.
    std::string defaultLog() const { return tmp() + "/dyadc.log"; }
};

// A process running in a workstation. Its standard output and error go to a
// file; the destructor kills it if it still runs.
class Child {
public:
    Child() = default;
    Child(pid_t pid, std::string outputPath, int inputFd);
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }
    // Waits for the process to end; kills it after `limit`. Returns the exit
    // status, 128 + signal when killed by a signal, -1 when it had to be killed.
    int wait(std::chrono::seconds limit = std::chrono::seconds(60));
    bool running();
    void kill(int signal);
    // Closes the child's standard input (helpers that hold wait for that).
    void closeInput();
    void writeInput(const std::string& text);
    std::string output() const;
    // Waits until the output contains `text`; false after `limit`.
    bool waitForOutput(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(30));

private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = true;
    std::string outputPath_;
    int input_ = -1;
};

class Lan {
public:
    struct Options {
        int hosts = 2;
        std::string hostnames;  // "A,B"
        bool secondSegment = false;
        bool down = false;
        bool noMulticast = false;
        bool pointToPoint = false;
        int extra = 0;
        std::string isolated;  // "1,2"
        int synRetries = 0;
    };

    Lan();
    explicit Lan(const Options& options);
    ~Lan();
    Lan(const Lan&) = delete;
    Lan& operator=(const Lan&) = delete;

    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }
    const Workstation& host(int index) const { return hosts_.at(static_cast<size_t>(index - 1)); }

    // Starts `argv` in workstation `index` with extra environment entries
    // ("NAME=value"; "NAME=" with nothing after it unsets nothing but defines).
    Child spawn(int index, const std::vector<std::string>& argv,
                const std::vector<std::string>& environment = {}) const;
    // Runs to completion and returns the exit status; output into `*output`.
    int run(int index, const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
            std::string* output = nullptr, std::chrono::seconds limit = std::chrono::seconds(60)) const;
    // Moves the calling thread into workstation `index`'s network namespace.
    // The destructor moves the creating thread back: the LAN's removal ends
    // every process found in its namespaces.
    bool enter(int index) const;

private:
    bool ok_ = false;
    std::string name_;
    pid_t keeper_ = -1;
    int keeperInput_ = -1;
    int originalNetwork_ = -1;  // the creating thread's namespace, to return to
    std::vector<Workstation> hosts_;
    mutable int spawned_ = 0;
};

// One field of a workstation's shared Session as test-probe prints it, or
// "(missing)".
std::string probeField(const Lan& lan, int host, const std::string& name);

// The bytes of the built library with its version record set to major.minor,
// followed by `padding` bytes.
std::string libraryWithVersion(uint32_t major, uint32_t minor, size_t padding = 0);

// Reads a whole file; "" when it cannot.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
// A file's modification time in nanoseconds since 1970 (UTC); -1 when it
// cannot be read. Setting it throws when it cannot be set.
int64_t modifiedNanoseconds(const std::string& path);
void setModifiedNanoseconds(const std::string& path, int64_t nanoseconds);

// Lines of a log with the "LOGGED:<stamp>   " prefix removed.
std::vector<std::string> logMessages(const std::string& path);
bool logHas(const std::string& path, const std::string& message);
// Waits until `done` holds, looking again every 20 ms; false after `limit`.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
// Waits until the log at `path` holds `message` (for example an Initiator's
// "Selecting...", once it listens for announces), `times` times; false after
// `limit`.
bool waitForLog(const std::string& path, const std::string& message,
                std::chrono::seconds limit = std::chrono::seconds(20), size_t times = 1);

}  // namespace dyadc::test
