// Helpers for in-process tests: a fresh Session, a detail log that a test can
// read back, and threads that run in another simulated workstation.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/lan.h"

namespace dyadc::test {

// Returns both Session regions to their initial values.
void freshSession();

// Switches this process's log to level 2 in a file of its own.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    const std::string& path() const { return path_; }
    std::vector<std::string> messages() const { return logMessages(path_); }
    bool has(const std::string& message) const { return logHas(path_, message); }
    bool hasPrefix(const std::string& prefix) const;
    // Index of the first message equal to `message` at or after `from`; -1 if none.
    int find(const std::string& message, int from = 0) const;

private:
    std::string dir_;
    std::string path_;
};

// Runs `body` on a thread that lives in workstation `host`'s network.
std::thread inWorkstation(const Lan& lan, int host, std::function<void()> body);

// An IPv4 TCP listener or connection made with plain sockets, for the peer
// side of a test. Returns -1 on failure.
int listenTcp(const std::string& address, int port);
int connectTcp(const std::string& local, const std::string& remote, int port);
int acceptTcp(int listener, int timeoutMilliseconds);

// Sets the Session's addresses from dotted text.
void setAddress(platform::SocketAddress& address, const std::string& dotted, int port);

}  // namespace dyadc::test
