// The steps of test-host that need a POSIX system.
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

void onTimer(int) {}

}  // namespace

int forkSleeper(unsigned seconds) {
    const pid_t child = fork();
    if (child == 0) {
        sleep(seconds);
        _exit(0);
    }
    return static_cast<int>(child);
}

void interruptEveryMillisecond() {
    struct sigaction action {};
    action.sa_handler = onTimer;  // no SA_RESTART: interrupted calls fail with EINTR
    sigaction(SIGALRM, &action, nullptr);
    itimerval every{{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every, nullptr);
}
