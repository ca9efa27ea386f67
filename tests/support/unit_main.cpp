// The main of the in-process tests: the process becomes a workstation of its
// own (a fresh DYADC_SESSION) and attaches the Session the way loading the
// library would, then detaches it at the end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "api/entry.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string session = "ut" + std::to_string(getpid());
    setenv("DYADC_SESSION", session.c_str(), 1);
    unsetenv("DYADDEBUG");
    dyadc::libraryEntry(nullptr, dyadc::reasonProcessAttach, nullptr);
    int result = RUN_ALL_TESTS();
    dyadc::libraryEntry(nullptr, dyadc::reasonProcessDetach, nullptr);
    return result;
}
