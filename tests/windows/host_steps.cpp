// The steps of test-host that need a POSIX system do not exist on Windows:
// a test that asks for them fails at once.
#include <cstdio>
#include <cstdlib>

int forkSleeper(unsigned /*seconds*/) {
    std::fprintf(stderr, "fork-sleep: no fork on Windows\n");
    std::exit(2);
}

void interruptEveryMillisecond() {
    std::fprintf(stderr, "signals: no interval timer signals on Windows\n");
    std::exit(2);
}
