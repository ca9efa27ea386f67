// test-host: a host program for tests. It loads the real libdyadc.so and runs
// the steps given on its command line, one after the other, printing one line
// per step ("<step> <result> ...") at once.
//
//   setlog PATH LIMIT LEVEL           DyadSetLog
//   hold                              wait until standard input closes
//   sleep SECONDS
//   send FIRST SECOND TYPE LENGTH LIMIT
//                                     one block of LENGTH pattern bytes
//   recv SIZE LIMIT                   one DyadRecvDataBlock call into SIZE bytes
//   stream TOTAL LIMIT                TOTAL bytes as one series (21, 22..., 20) of
//                                     blocks of varying size; prints their hash
//   drain SIZE LIMIT                  receive blocks into SIZE bytes until a
//                                     block of type 20 is complete; prints the hash
//   idresult N                        the identifier callback returns N from now on
//   verify accept | verify refuse N   what the verify callback answers
//   open MODE ID TIMEOUT              DyadOpen (prints "verified NAME" when asked)
//   openx MODE ID TIMEOUT MASK        DyadOpenXOver; MASK "null" passes no mask
//   close                             DyadClose
//   wait                              wait for one line on standard input
//   close-on-input                    a second thread waits for a line on standard
//                                     input, then opens (the pairing exists by then)
//                                     and closes, so that the close is the last one
//   sendhash FIRST SECOND TYPE LENGTH LIMIT
//                                     like send, and prints the hash of the bytes
//   sendmany N LENGTH LIMIT           N single blocks (type 7) named b0, b1, ...;
//                                     prints how many failed and the first failure
//   recvloop LIMIT SECONDS            receives into 64 KiB until the peer closes the
//                                     pairing or SECONDS have passed; prints "got NAME"
//                                     for every block and then the count of calls and
//                                     of each result
//   pace MICROSECONDS                 recvloop sleeps this long between its calls
//   pause-at BYTES SECONDS            from now on the receiving steps stop reading
//                                     for SECONDS once BYTES have arrived in all
//   fork-sleep SECONDS                forks a child that calls nothing, sleeps and ends
//   signals                           a 1 ms interval timer interrupts this process
//                                     from now on (handler without SA_RESTART)
//   took                              prints "took MS": how long the step before it
//                                     took, so that a time bound leaves out start-up
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dyadc.h"

// The steps that need a POSIX system (host_posix.cpp): a forked child that
// calls nothing, sleeps and ends (returns its id), and a 1 ms interval timer
// whose handler does not restart interrupted calls.
int forkSleeper(unsigned seconds);
void interruptEveryMillisecond();

namespace {

// The bytes of every test stream: position-dependent, over a prime period.
constexpr size_t patternPeriod = 1048573;
uint8_t patternByte(uint64_t position) {
    uint64_t x = (position % patternPeriod) * 2654435761u;
    return static_cast<uint8_t>(x >> 13);
}

struct Hash {
    uint64_t value = 1469598103934665603ull;
    void add(const uint8_t* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) value = (value ^ bytes[i]) * 1099511628211ull;
    }
};

int argInt(char** argv, int& at, int argc) {
    if (at >= argc) {
        std::fprintf(stderr, "missing argument\n");
        std::exit(2);
    }
    return static_cast<int>(std::strtol(argv[at++], nullptr, 10));
}

long long argLong(char** argv, int& at, int argc) {
    if (at >= argc) {
        std::fprintf(stderr, "missing argument\n");
        std::exit(2);
    }
    return std::strtoll(argv[at++], nullptr, 10);
}

// recvloop's pause between its calls.
unsigned paceMicroseconds = 0;

// The receiving steps' progress callback: pauses once when told to.
double pauseAtBytes = -1;
unsigned pauseSeconds = 0;
void DYADC_CALL onProgress(double bytesTransferred) {
    if (pauseAtBytes >= 0 && bytesTransferred >= pauseAtBytes) {
        pauseAtBytes = -1;
        sleep(pauseSeconds);
    }
}

std::string identifier;
int32_t identifierResult = 0;
int32_t verifyResult = 0;

int32_t DYADC_CALL onIdentifier(char* buffer) {
    std::snprintf(buffer, DYAD_IDENTIFIER_BUFFER_SIZE, "%s", identifier.c_str());
    return identifierResult;
}

int32_t DYADC_CALL onVerify(const char* name) {
    std::printf("verified %s\n", name);
    return verifyResult;
}

bool readInputLine() {
    char c;
    for (;;) {
        ssize_t got = read(0, &c, 1);
        if (got <= 0) return false;
        if (c == '\n') return true;
    }
}

const char* argText(char** argv, int& at, int argc) {
    if (at >= argc) {
        std::fprintf(stderr, "missing argument\n");
        std::exit(2);
    }
    return argv[at++];
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    int at = 1;
    long long lastStepMs = 0;
    while (at < argc) {
        std::string step = argv[at++];
        if (step == "took") {
            std::printf("took %lld\n", lastStepMs);
            continue;
        }
        const auto stepBegan = std::chrono::steady_clock::now();
        struct StepClock {
            std::chrono::steady_clock::time_point began;
            long long& ms;
            ~StepClock() {
                ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                           began)
                         .count();
            }
        } stepClock{stepBegan, lastStepMs};
        if (step == "setlog") {
            const char* path = argText(argv, at, argc);
            int limit = argInt(argv, at, argc);
            int level = argInt(argv, at, argc);
            std::printf("setlog %d\n", DyadSetLog(path, static_cast<uint32_t>(limit), level));
        } else if (step == "hold") {
            std::printf("holding\n");
            char c;
            while (read(0, &c, 1) > 0) {
            }
            std::printf("released\n");
        } else if (step == "sleep") {
            sleep(static_cast<unsigned>(argInt(argv, at, argc)));
        } else if (step == "send") {
            const char* first = argText(argv, at, argc);
            const char* second = argText(argv, at, argc);
            int type = argInt(argv, at, argc);
            size_t length = static_cast<size_t>(argLong(argv, at, argc));
            int limit = argInt(argv, at, argc);
            std::vector<uint8_t> data(length);
            for (size_t i = 0; i < length; ++i) data[i] = patternByte(i);
            int32_t rc = DyadSendDataBlock(first, second, static_cast<uint32_t>(limit), data.data(),
                                           static_cast<uint32_t>(length), type, nullptr);
            std::printf("send %d\n", rc);
        } else if (step == "recv") {
            uint32_t size = static_cast<uint32_t>(argLong(argv, at, argc));
            int limit = argInt(argv, at, argc);
            std::vector<uint8_t> buffer(size);
            char first[DYAD_NAME_BUFFER_SIZE] = {}, second[DYAD_NAME_BUFFER_SIZE] = {};
            int32_t length = -1, type = -1;
            int32_t rc = DyadRecvDataBlock(first, second, static_cast<uint32_t>(limit), buffer.data(), size,
                                           &length, &type, onProgress);
            std::printf("recv %d %d %d %s %s\n", rc, length, type, first, second);
        } else if (step == "stream") {
            uint64_t total = static_cast<uint64_t>(argLong(argv, at, argc));
            int limit = argInt(argv, at, argc);
            // Block sizes cycle through small, odd and large ones.
            const size_t sizes[] = {4096, 1, 3 << 20, 65537, 1 << 20, 777, 2 << 20, 100000};
            std::vector<uint8_t> block(3 << 20);
            Hash hash;
            uint64_t sent = 0;
            int32_t rc = 0;
            for (size_t index = 0; sent < total && rc == 0; ++index) {
                size_t size = sizes[index % (sizeof sizes / sizeof sizes[0])];
                if (size > total - sent) size = static_cast<size_t>(total - sent);
                for (size_t i = 0; i < size; ++i) block[i] = patternByte(sent + i);
                int32_t type = sent + size == total ? DYAD_BLOCK_LAST
                               : index == 0         ? DYAD_BLOCK_FIRST
                                                    : DYAD_BLOCK_MORE;
                rc = DyadSendDataBlock("stream", "part", static_cast<uint32_t>(limit), block.data(),
                                       static_cast<uint32_t>(size), type, nullptr);
                if (rc == 0) hash.add(block.data(), size);
                sent += size;
            }
            std::printf("stream %d %llu %016llx\n", rc, static_cast<unsigned long long>(sent),
                        static_cast<unsigned long long>(hash.value));
        } else if (step == "drain") {
            uint32_t size = static_cast<uint32_t>(argLong(argv, at, argc));
            int limit = argInt(argv, at, argc);
            std::vector<uint8_t> buffer(size);
            char first[DYAD_NAME_BUFFER_SIZE], second[DYAD_NAME_BUFFER_SIZE];
            Hash hash;
            uint64_t received = 0;
            int32_t rc = 0;
            for (;;) {
                int32_t length = 0, type = DYAD_BLOCK_MORE;
                rc = DyadRecvDataBlock(first, second, static_cast<uint32_t>(limit), buffer.data(), size, &length,
                                       &type, onProgress);
                if (rc != 0) break;
                hash.add(buffer.data(), static_cast<size_t>(length));
                received += static_cast<uint64_t>(length);
                if (type == DYAD_BLOCK_LAST) break;
            }
            std::printf("drain %d %llu %016llx\n", rc, static_cast<unsigned long long>(received),
                        static_cast<unsigned long long>(hash.value));
        } else if (step == "sendhash") {
            const char* first = argText(argv, at, argc);
            const char* second = argText(argv, at, argc);
            int type = argInt(argv, at, argc);
            size_t length = static_cast<size_t>(argLong(argv, at, argc));
            int limit = argInt(argv, at, argc);
            std::vector<uint8_t> data(length);
            for (size_t i = 0; i < length; ++i) data[i] = patternByte(i);
            Hash hash;
            hash.add(data.data(), length);
            int32_t rc = DyadSendDataBlock(first, second, static_cast<uint32_t>(limit), data.data(),
                                           static_cast<uint32_t>(length), type, nullptr);
            std::printf("sendhash %d %016llx\n", rc, static_cast<unsigned long long>(hash.value));
        } else if (step == "sendmany") {
            int count = argInt(argv, at, argc);
            size_t length = static_cast<size_t>(argLong(argv, at, argc));
            int limit = argInt(argv, at, argc);
            std::vector<uint8_t> data(length);
            for (size_t i = 0; i < length; ++i) data[i] = patternByte(i);
            int failed = 0;
            int32_t firstFailure = 0;
            for (int i = 0; i < count; ++i) {
                const std::string name = "b" + std::to_string(i);
                int32_t rc = DyadSendDataBlock(name.c_str(), "n", static_cast<uint32_t>(limit), data.data(),
                                               static_cast<uint32_t>(length), 7, nullptr);
                if (rc != 0 && failed++ == 0) firstFailure = rc;
            }
            std::printf("sendmany %d %d\n", failed, firstFailure);
        } else if (step == "recvloop") {
            int limit = argInt(argv, at, argc);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(argInt(argv, at, argc));
            std::vector<uint8_t> buffer(65536);
            char first[DYAD_NAME_BUFFER_SIZE], second[DYAD_NAME_BUFFER_SIZE];
            std::map<int32_t, int> results;
            int calls = 0;
            for (;;) {
                int32_t length = -1, type = -1;
                int32_t rc = DyadRecvDataBlock(first, second, static_cast<uint32_t>(limit), buffer.data(),
                                               static_cast<uint32_t>(buffer.size()), &length, &type, onProgress);
                ++calls;
                ++results[rc];
                if (rc == 0 && length >= 0) std::printf("got %s\n", first);
                if (rc == DYAD_PEER_CLOSED || std::chrono::steady_clock::now() > end) break;
                if (paceMicroseconds > 0) usleep(paceMicroseconds);
            }
            std::printf("recvloop calls=%d", calls);
            for (const auto& [rc, times] : results) std::printf(" %d:%d", rc, times);
            std::printf("\n");
        } else if (step == "pace") {
            paceMicroseconds = static_cast<unsigned>(argInt(argv, at, argc));
            std::printf("pace\n");
        } else if (step == "pause-at") {
            pauseAtBytes = static_cast<double>(argLong(argv, at, argc));
            pauseSeconds = static_cast<unsigned>(argInt(argv, at, argc));
        } else if (step == "fork-sleep") {
            std::printf("forked %d\n", forkSleeper(static_cast<unsigned>(argInt(argv, at, argc))));
        } else if (step == "signals") {
            interruptEveryMillisecond();
            std::printf("signals\n");
        } else if (step == "idresult") {
            identifierResult = argInt(argv, at, argc);
        } else if (step == "verify") {
            std::string how = argText(argv, at, argc);
            verifyResult = how == "accept" ? 0 : argInt(argv, at, argc);
        } else if (step == "open" || step == "openx") {
            int mode = argInt(argv, at, argc);
            identifier = argText(argv, at, argc);
            uint32_t timeout = static_cast<uint32_t>(argInt(argv, at, argc));
            int32_t rc;
            if (step == "open") {
                rc = DyadOpen(onIdentifier, onVerify, timeout, mode);
            } else {
                std::string mask = argText(argv, at, argc);
                rc = DyadOpenXOver(onIdentifier, onVerify, timeout, mode, mask == "null" ? nullptr : mask.c_str());
            }
            std::printf("%s %d\n", step.c_str(), rc);
        } else if (step == "close") {
            std::printf("close %d\n", DyadClose());
        } else if (step == "wait") {
            readInputLine();
            std::printf("go\n");
        } else if (step == "close-on-input") {
            std::thread([] {
                if (!readInputLine()) return;
                int32_t opened = DyadOpen(onIdentifier, onVerify, 1, 1);
                std::printf("closing-during %d %d\n", opened, DyadClose());
            }).detach();
        } else {
            std::fprintf(stderr, "unknown step %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}
