#include "tests/support/fixtures.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "dyadc.h"
#include "session/session.h"

namespace dyadc::test {

void freshSession() {
    applySharedInitialValues(sharedSession());
    applyProcessInitialValues(processSession());
}

LogCapture::LogCapture() {
    char pattern[] = "/tmp/dyadc-testlog-XXXXXX";
    if (mkdtemp(pattern) == nullptr) ADD_FAILURE() << "mkdtemp";
    dir_ = pattern;
    path_ = dir_ + "/test.log";
    DyadSetLog(path_.c_str(), 0, 2);
}

LogCapture::~LogCapture() {
    DyadSetLog("/tmp/dyadc.log", 0, 0);
    std::string command = "rm -rf '" + dir_ + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "cleanup";
}

bool LogCapture::hasPrefix(const std::string& prefix) const {
    for (const std::string& line : messages()) {
        if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

int LogCapture::find(const std::string& message, int from) const {
    auto all = messages();
    for (size_t i = static_cast<size_t>(from); i < all.size(); ++i) {
        if (all[i] == message) return static_cast<int>(i);
    }
    return -1;
}

std::thread inWorkstation(const Lan& lan, int host, std::function<void()> body) {
    return std::thread([&lan, host, body = std::move(body)]() {
        if (lan.enter(host)) body();
    });
}

static sockaddr_in makeAddress(const std::string& dotted, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, dotted.c_str(), &address.sin_addr);
    return address;
}

int listenTcp(const std::string& address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local = makeAddress(address, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connectTcp(const std::string& local, const std::string& remote, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = makeAddress(local, 0);
    sockaddr_in to = makeAddress(remote, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int acceptTcp(int listener, int timeoutMilliseconds) {
    pollfd one{listener, POLLIN, 0};
    if (poll(&one, 1, timeoutMilliseconds) <= 0) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

void setAddress(platform::SocketAddress& address, const std::string& dotted, int port) {
    address = platform::SocketAddress{};
    address.family = platform::addressFamilyIpv4;
    address.port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, dotted.c_str(), &address.address);
}

}  // namespace dyadc::test
