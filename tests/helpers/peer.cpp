// test-peer: a scripted peer that speaks the line protocol byte by byte, so
// that tests can produce odd, slow and hostile replies. It runs one step
// after the other and prints one line per step; a step that fails prints
// "fail <step> ..." and ends the program with status 3.
//
//   listen ADDRESS            listen on ADDRESS:8181 (then use accept)
//   accept                    accept the next connection (30 s at most)
//   connect LOCAL REMOTE      connect from LOCAL to REMOTE:8181, retrying for 30 s
//   send TEXT                 send TEXT at once (escapes: \r \n \t \\ \xNN)
//   trickle TEXT              send TEXT one byte at a time, 20 ms apart
//   fill N                    send N bytes of the pattern byte(i) = i * 7 mod 251
//   sendfile PATH             send the bytes of the file at PATH
//   expect TEXT               read exactly as many bytes as TEXT has and compare
//   line                      read one line and print it ("line <escaped>")
//   drain N                   read N bytes and print their checksum
//   quiet MS                  expect that nothing arrives for MS milliseconds
//   eof                       expect the connection to be closed by the other side
//   sleep MS
//   close                     close the connection
//   reset                     close the connection with a reset (RST)
//   hold                      wait until standard input closes
//   announce ID FROM N        send the announce of ID N times, a second apart,
//                             through the interface with address FROM
//   stoplistening             close the listening socket
//   flood N LOCAL REMOTE      open N connections from LOCAL to REMOTE:8181 within
//                             30 s and keep them, silent, until the program ends
//   scan SECONDS LOCAL REMOTE connect to REMOTE:8181 and close at once, again and
//                             again for SECONDS (what a port scanner does)
//   strangers RATE SECONDS NAME LOCAL REMOTE
//                             for SECONDS, RATE connections a second from LOCAL
//                             to REMOTE:8181, each presenting the computer name
//                             NAME and closed without waiting for the answer
//   blast SECONDS             send bytes without a line end for SECONDS, or until
//                             the connection breaks
//   sniff FROM                receive one announce datagram through the interface
//                             with address FROM and print it ("announce <escaped>")
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace {

int listener = -1;
int connection = -1;

[[noreturn]] void fail(const std::string& step, const std::string& why) {
    std::printf("fail %s %s\n", step.c_str(), why.c_str());
    std::exit(3);
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

std::string escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 32 || c > 126) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

sockaddr_in address(const char* dotted, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, dotted, &a.sin_addr) != 1) fail("address", dotted);
    return a;
}

bool waitReadable(int fd, int milliseconds) {
    pollfd one{fd, POLLIN, 0};
    return poll(&one, 1, milliseconds) > 0;
}

// Reads exactly `count` bytes; false when the connection ends first.
bool readExactly(char* into, size_t count) {
    size_t got = 0;
    while (got < count) {
        if (!waitReadable(connection, 30000)) return false;
        ssize_t n = recv(connection, into + got, count - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

void sendAll(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) fail("send", std::strerror(errno));
        sent += static_cast<size_t>(n);
    }
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    for (int at = 1; at < argc;) {
        std::string step = argv[at++];
        auto arg = [&]() -> std::string {
            if (at >= argc) fail(step, "missing argument");
            return argv[at++];
        };
        if (step == "listen") {
            std::string where = arg();
            listener = socket(AF_INET, SOCK_STREAM, 0);
            int one = 1;
            setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in local = address(where.c_str(), 8181);
            if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                listen(listener, 16) != 0) {
                fail(step, std::strerror(errno));
            }
            std::printf("listening\n");
        } else if (step == "accept") {
            if (!waitReadable(listener, 30000)) fail(step, "nobody connected");
            if (connection >= 0) close(connection);
            connection = accept(listener, nullptr, nullptr);
            if (connection < 0) fail(step, std::strerror(errno));
            std::printf("accepted\n");
        } else if (step == "stoplistening") {
            close(listener);
            listener = -1;
            std::printf("stopped\n");
        } else if (step == "connect") {
            std::string local = arg(), remote = arg();
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            for (;;) {
                connection = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in from = address(local.c_str(), 0), to = address(remote.c_str(), 8181);
                if (bind(connection, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                    connect(connection, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                    break;
                }
                close(connection);
                if (std::chrono::steady_clock::now() > deadline) fail(step, "could not connect");
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            std::printf("connected\n");
        } else if (step == "send") {
            sendAll(unescape(arg()));
            std::printf("sent\n");
        } else if (step == "trickle") {
            for (char c : unescape(arg())) {
                sendAll(std::string(1, c));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            std::printf("trickled\n");
        } else if (step == "fill") {
            size_t count = std::strtoul(arg().c_str(), nullptr, 10);
            std::string bytes(count, '\0');
            for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 7) % 251);
            sendAll(bytes);
            std::printf("filled %zu\n", count);
        } else if (step == "sendfile") {
            const std::string path = arg();
            std::ifstream file(path, std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            if (!file) fail(step, "cannot read " + path);
            sendAll(bytes);
            std::printf("sent %zu bytes of %s\n", bytes.size(), path.c_str());
        } else if (step == "expect") {
            std::string want = unescape(arg());
            std::string got(want.size(), '\0');
            if (!readExactly(got.data(), got.size())) fail(step, "connection ended, wanted " + escape(want));
            if (got != want) fail(step, "got " + escape(got) + " wanted " + escape(want));
            std::printf("expected %s\n", escape(want).c_str());
        } else if (step == "line") {
            std::string line;
            char c = 0;
            while (c != '\n') {
                if (!readExactly(&c, 1)) fail(step, "connection ended after " + escape(line));
                line += c;
            }
            std::printf("line %s\n", escape(line).c_str());
        } else if (step == "drain") {
            size_t count = std::strtoul(arg().c_str(), nullptr, 10);
            unsigned long sum = 0;
            char buffer[65536];
            size_t left = count;
            while (left > 0) {
                size_t want = left < sizeof buffer ? left : sizeof buffer;
                if (!readExactly(buffer, want)) fail(step, "connection ended");
                for (size_t i = 0; i < want; ++i) sum = sum * 31 + static_cast<unsigned char>(buffer[i]);
                left -= want;
            }
            std::printf("drained %zu %lu\n", count, sum);
        } else if (step == "quiet") {
            int milliseconds = std::atoi(arg().c_str());
            if (waitReadable(connection, milliseconds)) {
                char c;
                ssize_t n = recv(connection, &c, 1, MSG_PEEK);
                fail(step, n > 0 ? "data arrived: " + escape(std::string(1, c)) : "connection ended");
            }
            std::printf("quiet\n");
        } else if (step == "eof") {
            char c;
            if (!waitReadable(connection, 30000)) fail(step, "still open");
            ssize_t n = recv(connection, &c, 1, 0);
            if (n != 0) fail(step, n > 0 ? "data arrived: " + escape(std::string(1, c)) : std::strerror(errno));
            std::printf("eof\n");
        } else if (step == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(arg().c_str())));
        } else if (step == "close") {
            close(connection);
            connection = -1;
            std::printf("closed\n");
        } else if (step == "reset") {
            linger hard{1, 0};
            setsockopt(connection, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            close(connection);
            connection = -1;
            std::printf("reset\n");
        } else if (step == "announce") {
            std::string id = arg(), from = arg();
            int times = std::atoi(arg().c_str());
            int udp = socket(AF_INET, SOCK_DGRAM, 0);
            in_addr interface {};
            inet_pton(AF_INET, from.c_str(), &interface);
            setsockopt(udp, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
            sockaddr_in group = address("239.192.8.1", 8181);
            for (int i = 0; i < times; ++i) {
                if (i > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
                sendto(udp, id.c_str(), id.size() + 1, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
            }
            close(udp);
            std::printf("announced\n");
        } else if (step == "flood") {
            int wanted = std::atoi(arg().c_str());
            std::string local = arg(), remote = arg();
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            int opened = 0;
            while (opened < wanted && std::chrono::steady_clock::now() < deadline) {
                int fd = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in from = address(local.c_str(), 0), to = address(remote.c_str(), 8181);
                if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                    ++opened;  // kept open, and silent, until the program ends
                } else {
                    close(fd);
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
            std::printf("flooded %d\n", opened);
        } else if (step == "scan") {
            int seconds = std::atoi(arg().c_str());
            std::string local = arg(), remote = arg();
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
            int made = 0;
            while (std::chrono::steady_clock::now() < end) {
                int fd = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in from = address(local.c_str(), 0), to = address(remote.c_str(), 8181);
                if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                    ++made;
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                close(fd);
            }
            std::printf("scanned %d\n", made);
        } else if (step == "strangers") {
            int rate = std::atoi(arg().c_str());
            int seconds = std::atoi(arg().c_str());
            std::string name = unescape(arg()) + "\r\n";
            std::string local = arg(), remote = arg();
            auto next = std::chrono::steady_clock::now();
            const auto end = next + std::chrono::seconds(seconds);
            int presented = 0;
            for (; next < end; next += std::chrono::microseconds(1000000 / rate)) {
                std::this_thread::sleep_until(next);
                int fd = socket(AF_INET, SOCK_STREAM, 0);
                const timeval brief{0, 200000};  // a connection that is not taken at once is given up
                setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &brief, sizeof brief);
                sockaddr_in from = address(local.c_str(), 0), to = address(remote.c_str(), 8181);
                if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
                    send(fd, name.data(), name.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(name.size())) {
                    ++presented;
                }
                close(fd);
            }
            std::printf("presented %d\n", presented);
        } else if (step == "blast") {
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(arg().c_str()));
            std::string chunk(65536, 'x');
            size_t total = 0;
            while (std::chrono::steady_clock::now() < end) {
                pollfd out{connection, POLLOUT, 0};
                if (poll(&out, 1, 100) <= 0) continue;
                ssize_t n = send(connection, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0 && errno != EAGAIN) break;
                if (n > 0) total += static_cast<size_t>(n);
            }
            std::printf("blasted %s\n", total > 0 ? "some" : "none");
        } else if (step == "sniff") {
            std::string from = arg();
            int udp = socket(AF_INET, SOCK_DGRAM, 0);
            int one = 1, zero = 0;
            setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            setsockopt(udp, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
            sockaddr_in group = address("239.192.8.1", 8181);
            if (bind(udp, reinterpret_cast<sockaddr*>(&group), sizeof group) != 0)
                fail(step, std::strerror(errno));
            ip_mreq request{};
            request.imr_multiaddr = group.sin_addr;
            inet_pton(AF_INET, from.c_str(), &request.imr_interface);
            if (setsockopt(udp, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
                fail(step, std::strerror(errno));
            }
            std::printf("sniffing\n");
            if (!waitReadable(udp, 30000)) fail(step, "no announce");
            char datagram[2048];
            ssize_t n = recv(udp, datagram, sizeof datagram, 0);
            if (n < 0) fail(step, std::strerror(errno));
            std::printf("announce %s\n", escape(std::string(datagram, static_cast<size_t>(n))).c_str());
            close(udp);
        } else if (step == "hold") {
            std::printf("holding\n");
            char c;
            while (read(0, &c, 1) > 0) {
            }
        } else {
            fail(step, "unknown step");
        }
    }
    std::printf("done\n");
    return 0;
}
