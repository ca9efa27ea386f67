// dyadc-bench: the measuring host program of the benchmarks. Each mode runs
// one side of one measurement inside a simulated workstation and prints one
// result line; bench/run starts both sides and collects the lines.
//
//   pair ROLE ID START_NS           pair (ROLE initiator or responder) and print
//                                   the seconds from START_NS (CLOCK_REALTIME)
//                                   until DyadOpen returned
//   lib-recv ID BUFFER [PAUSE_US]   Responder: receive blocks into BUFFER bytes
//                                   until the Initiator closes the pairing,
//                                   spending PAUSE_US microseconds between calls
//                                   (a host that does something with each block)
//   lib-send ID KIND BLOCK COUNT    Initiator: send COUNT blocks of BLOCK bytes,
//                                   KIND series (21, 22..., 20 on one
//                                   connection) or single (type 7 each);
//                                   prints bytes, seconds, blocks, and the heap
//                                   allocations the loop made when a counter is
//                                   preloaded (DYADC_BENCH_LOG=PATH: a basic log)
//   first ID                        Initiator: pair, then print the seconds that
//                                   the first block (64 bytes, type 7) and then
//                                   DyadClose took
//   raw-recv ADDRESS                plain TCP: receive a stream, then answer
//                                   one byte
//   raw-send ADDRESS BLOCK COUNT    plain TCP: send COUNT writes of BLOCK bytes
//   pingpong-server ADDRESS         plain TCP with TCP_NODELAY: per block read a
//   pingpong-client ADDRESS SIZE COUNT
//                                   header line, answer, read SIZE bytes, answer
//                                   (the client sends the bytes in sends of at
//                                   most 1 MiB, as the library does)
//   single-server ADDRESS           plain TCP with TCP_NODELAY, one connection
//   single-client ADDRESS SIZE COUNT
//                                   per message as a single block travels:
//                                   connect, header line, answer, SIZE bytes,
//                                   answer, and the server closes; the server
//                                   listens throughout
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dyadc.h"

namespace {

constexpr int rawPort = 8282;

std::string identifier;
int32_t onIdentifier(char* buffer) {
    std::snprintf(buffer, DYAD_IDENTIFIER_BUFFER_SIZE, "%s", identifier.c_str());
    return 0;
}
int32_t onVerify(const char*) {
    return 0;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Heap calls counted by bench/malloc-count.so when it is preloaded.
unsigned long heapCalls() {
    using Counter = unsigned long (*)();
    static auto counter = reinterpret_cast<Counter>(dlsym(RTLD_DEFAULT, "benchHeapCalls"));
    return counter != nullptr ? counter() : 0;
}
bool heapCounted() {
    return dlsym(RTLD_DEFAULT, "benchHeapCalls") != nullptr;
}

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

sockaddr_in address(const char* dotted, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, dotted, &a.sin_addr) != 1) die("address");
    return a;
}

int listenOn(const char* where) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local = address(where, rawPort);
    if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(listener, 4) != 0) {
        die("listen");
    }
    std::printf("listening\n");
    std::fflush(stdout);
    return listener;
}

int acceptFrom(int listener) {
    int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) die("accept");
    int one = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return connection;
}

int acceptOne(const char* where) {
    int listener = listenOn(where);
    int connection = acceptFrom(listener);
    close(listener);
    return connection;
}

int connectTo(const char* where) {
    sockaddr_in remote = address(where, rawPort);
    for (int attempt = 0; attempt < 200; ++attempt) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        usleep(50000);
    }
    die("connect");
}

void writeAll(int fd, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
        if (n <= 0) die("send");
        bytes += n;
        length -= static_cast<size_t>(n);
    }
}

void readAll(int fd, void* data, size_t length) {
    char* bytes = static_cast<char*>(data);
    while (length > 0) {
        ssize_t n = recv(fd, bytes, length, 0);
        if (n <= 0) die("recv");
        bytes += n;
        length -= static_cast<size_t>(n);
    }
}

// Reads one line ending in LF (the peer sends nothing else before our answer).
void readLine(int fd, char* line, size_t size) {
    size_t got = 0;
    while (got == 0 || line[got - 1] != '\n') {
        ssize_t n = recv(fd, line + got, size - got, 0);
        if (n <= 0) die("recv line");
        got += static_cast<size_t>(n);
    }
}

int pair(int mode, double start) {
    int32_t result = DyadOpen(onIdentifier, onVerify, 60, mode);
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    double at = static_cast<double>(real.tv_sec) + static_cast<double>(real.tv_nsec) / 1e9;
    std::printf("pair %d %.6f\n", result, at - start);
    DyadClose();
    return result == 0 ? 0 : 1;
}

int libReceive(uint32_t bufferSize, long pauseMicroseconds) {
    if (DyadOpen(onIdentifier, onVerify, 60, 2) != 0) die("DyadOpen");
    std::vector<char> buffer(bufferSize);
    char first[DYAD_NAME_BUFFER_SIZE], second[DYAD_NAME_BUFFER_SIZE];
    unsigned long blocks = 0;
    unsigned long heapStart = 0;
    unsigned long heapEnd = 0;
    for (;;) {
        int32_t length = 0, type = DYAD_BLOCK_MORE;
        int32_t result = DyadRecvDataBlock(first, second, 60, buffer.data(), bufferSize, &length, &type, nullptr);
        if (result == 23) break;
        if (result != 0) {
            std::fprintf(stderr, "receive failed: %d\n", result);
            return 1;
        }
        // Counted from the first block on: the first call also waited for
        // the connection.
        if (++blocks == 1) heapStart = heapCalls();
        heapEnd = heapCalls();
        if (pauseMicroseconds > 0) std::this_thread::sleep_for(std::chrono::microseconds(pauseMicroseconds));
    }
    DyadClose();
    std::printf("received %lu", blocks);
    if (heapCounted()) std::printf(" heap %lu", heapEnd - heapStart);
    std::printf("\n");
    return 0;
}

int libSend(const std::string& kind, uint32_t block, unsigned long count) {
    // DYADC_BENCH_LOG names a basic-level log: it records each refused
    // connection attempt and nothing per successful block.
    if (const char* log = std::getenv("DYADC_BENCH_LOG")) DyadSetLog(log, 100000000u, 1);
    if (DyadOpen(onIdentifier, onVerify, 60, 1) != 0) die("DyadOpen");
    std::vector<char> data(block, 'd');
    const bool series = kind == "series";
    unsigned long heapBefore = heapCalls();
    double began = now();
    for (unsigned long i = 0; i < count; ++i) {
        int32_t type = !series          ? 7
                       : i == 0         ? DYAD_BLOCK_FIRST
                       : i + 1 == count ? DYAD_BLOCK_LAST
                                        : DYAD_BLOCK_MORE;
        int32_t result = DyadSendDataBlock("bench", "block", 60, data.data(), block, type, nullptr);
        if (result != 0) {
            std::fprintf(stderr, "send failed: %d\n", result);
            return 1;
        }
    }
    double seconds = now() - began;
    unsigned long heap = heapCalls() - heapBefore;
    DyadClose();
    std::printf("sent %.0f %.6f %lu", static_cast<double>(block) * static_cast<double>(count), seconds, count);
    if (heapCounted()) std::printf(" heap %lu", heap);
    std::printf("\n");
    return 0;
}

int firstBlock() {
    if (DyadOpen(onIdentifier, onVerify, 60, 1) != 0) die("DyadOpen");
    const char data[64] = {};
    double began = now();
    int32_t result = DyadSendDataBlock("bench", "first", 60, data, sizeof data, 7, nullptr);
    double sent = now();
    DyadClose();
    double closed = now();
    if (result != 0) {
        std::fprintf(stderr, "send failed: %d\n", result);
        return 1;
    }
    std::printf("first %.6f %.6f\n", sent - began, closed - sent);
    return 0;
}

int rawReceive(const char* where) {
    int fd = acceptOne(where);
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) die("recv");
        if (n == 0) break;
    }
    char done = 'k';
    writeAll(fd, &done, 1);
    close(fd);
    return 0;
}

int rawSend(const char* where, size_t block, unsigned long count) {
    std::vector<char> data(block, 'd');
    int fd = connectTo(where);
    double began = now();
    for (unsigned long i = 0; i < count; ++i) writeAll(fd, data.data(), block);
    shutdown(fd, SHUT_WR);
    char done;
    readAll(fd, &done, 1);  // the receiver has everything
    double seconds = now() - began;
    close(fd);
    std::printf("sent %.0f %.6f %lu\n", static_cast<double>(block) * static_cast<double>(count), seconds, count);
    return 0;
}

int pingPongServer(const char* where) {
    int fd = acceptOne(where);
    char line[512];
    std::vector<char> bytes(1 << 20);
    for (;;) {
        ssize_t n = recv(fd, line, 1, MSG_PEEK);
        if (n <= 0) break;
        readLine(fd, line, sizeof line);
        // "put first|second|length|type": the length is the third field.
        const char* third = std::strchr(std::strchr(line, '|') + 1, '|') + 1;
        size_t size = std::strtoul(third, nullptr, 10);
        if (size > bytes.size()) bytes.resize(size);
        writeAll(fd, "000 OK\r\n", 8);
        readAll(fd, bytes.data(), size);
        writeAll(fd, "000 Ok\r\n", 8);
    }
    close(fd);
    return 0;
}

int pingPongClient(const char* where, size_t size, unsigned long count) {
    int fd = connectTo(where);
    std::vector<char> data(size, 'd');
    char header[128];
    int headerLength = std::snprintf(header, sizeof header, "put bench|block|%zu|22\r\n", size);
    char reply[8];
    double began = now();
    for (unsigned long i = 0; i < count; ++i) {
        writeAll(fd, header, static_cast<size_t>(headerLength));
        readAll(fd, reply, sizeof reply);
        for (size_t done = 0; done < size; done += 1 << 20) {
            writeAll(fd, data.data() + done, std::min(size - done, size_t{1} << 20));
        }
        readAll(fd, reply, sizeof reply);
    }
    double seconds = now() - began;
    close(fd);
    std::printf("sent %.0f %.6f %lu\n", static_cast<double>(size) * static_cast<double>(count), seconds, count);
    return 0;
}

// The size that a "put first|second|length|type" line announces.
size_t announcedLength(const char* line) {
    const char* third = std::strchr(std::strchr(line, '|') + 1, '|') + 1;
    return std::strtoul(third, nullptr, 10);
}

int singleServer(const char* where) {
    int listener = listenOn(where);
    char line[512];
    std::vector<char> bytes(1 << 20);
    for (;;) {
        int fd = acceptFrom(listener);
        readLine(fd, line, sizeof line);
        if (std::strncmp(line, "quit", 4) == 0) {
            close(fd);
            break;
        }
        size_t size = announcedLength(line);
        if (size > bytes.size()) bytes.resize(size);
        writeAll(fd, "000 OK\r\n", 8);
        readAll(fd, bytes.data(), size);
        writeAll(fd, "000 Ok\r\n", 8);
        close(fd);  // the receiving side closes first, as the Responder does
    }
    close(listener);
    return 0;
}

int singleClient(const char* where, size_t size, unsigned long count) {
    std::vector<char> data(size, 'd');
    char header[128];
    int headerLength = std::snprintf(header, sizeof header, "put bench|block|%zu|7\r\n", size);
    char reply[8];
    double began = 0;
    for (unsigned long i = 0; i < count; ++i) {
        int fd = connectTo(where);
        if (i == 0) began = now();  // the first connection waits for the listener
        writeAll(fd, header, static_cast<size_t>(headerLength));
        readAll(fd, reply, sizeof reply);
        writeAll(fd, data.data(), size);
        readAll(fd, reply, sizeof reply);
        close(fd);
    }
    double seconds = now() - began;
    int fd = connectTo(where);
    writeAll(fd, "quit 23\r\n", 9);
    close(fd);
    std::printf("sent %.0f %.6f %lu\n", static_cast<double>(size) * static_cast<double>(count), seconds, count);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "pair" && argc == 5) {
        identifier = argv[3];
        return pair(std::strcmp(argv[2], "initiator") == 0 ? 1 : 2, std::strtod(argv[4], nullptr) / 1e9);
    }
    if (mode == "lib-recv" && (argc == 4 || argc == 5)) {
        identifier = argv[2];
        return libReceive(static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)),
                          argc == 5 ? std::strtol(argv[4], nullptr, 10) : 0);
    }
    if (mode == "first" && argc == 3) {
        identifier = argv[2];
        return firstBlock();
    }
    if (mode == "lib-send" && argc == 6) {
        identifier = argv[2];
        return libSend(argv[3], static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)),
                       std::strtoul(argv[5], nullptr, 10));
    }
    if (mode == "raw-recv" && argc == 3) return rawReceive(argv[2]);
    if (mode == "raw-send" && argc == 5) {
        return rawSend(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtoul(argv[4], nullptr, 10));
    }
    if (mode == "pingpong-server" && argc == 3) return pingPongServer(argv[2]);
    if (mode == "pingpong-client" && argc == 5) {
        return pingPongClient(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtoul(argv[4], nullptr, 10));
    }
    if (mode == "single-server" && argc == 3) return singleServer(argv[2]);
    if (mode == "single-client" && argc == 5) {
        return singleClient(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtoul(argv[4], nullptr, 10));
    }
    std::fprintf(stderr, "usage: see the top of bench/dyadc-bench.cpp\n");
    return 2;
}
