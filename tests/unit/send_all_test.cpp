// sendAll with a buffer of many megabytes, which goes to the system in
// pieces, over a local socket pair whose far end stops reading, while signals
// arrive every millisecond.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace dyadc::platform {
namespace {

using namespace std::chrono;

void onAlarm(int) {}

// A 1 ms interval timer whose handler does not restart interrupted calls.
struct Signals {
    struct sigaction before {};
    Signals() {
        struct sigaction action {};
        action.sa_handler = onAlarm;
        sigaction(SIGALRM, &action, &before);
        itimerval every{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~Signals() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &before, nullptr);
    }
};

TEST(SendAll, StallEndsAtTheTimeOutAndTheRestFollowsWithEveryByteOnce) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    std::vector<uint8_t> block(9u << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i % 251);
    ASSERT_EQ(setSendTimeout(ends[0], 300), 0);
    Signals signals;

    // Nobody reads: the send stops after the time-out, not sooner and not
    // much later, whatever the signals, and tells how much has left.
    size_t sent = 0;
    const auto began = steady_clock::now();
    EXPECT_EQ(sendAll(ends[0], block.data(), block.size(), &sent), -1);
    const auto took = steady_clock::now() - began;
    EXPECT_EQ(lastSocketError(), errorTimedOut);
    EXPECT_GE(took, milliseconds(300));
    EXPECT_LT(took, seconds(3));
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, block.size());

    // The reader takes everything; the sender goes on from where it stopped.
    // However slowly the reader's thread runs on a loaded machine, this part
    // is no race with the time-out: it is long now.
    ASSERT_EQ(setSendTimeout(ends[0], 60000), 0);
    std::vector<uint8_t> received;
    std::thread reader([&] {
        std::vector<uint8_t> buffer(1 << 16);
        int64_t got;
        while ((got = receiveSome(ends[1], buffer.data(), buffer.size())) > 0)
            received.insert(received.end(), buffer.begin(), buffer.begin() + got);
    });
    size_t rest = 0;
    EXPECT_EQ(sendAll(ends[0], block.data() + sent, block.size() - sent, &rest), 0);
    EXPECT_EQ(sent + rest, block.size());
    close(ends[0]);
    reader.join();
    close(ends[1]);
    EXPECT_TRUE(received == block) << "received " << received.size() << " of " << block.size() << " bytes";
}

}  // namespace
}  // namespace dyadc::platform
