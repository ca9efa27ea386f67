// The main of the in-process tests for Windows: the process attaches the
// Session the way loading the library would (here the library's code is part
// of the test program, which shares the user's memory like any process that
// loads the library; the test's prefix has no other) and starts the socket
// layer, as every host's open does.
//
// `windows_unit_tests --exit` ends at once: the tests start it to have a
// process that has ended.
#include <gtest/gtest.h>

#include <cstring>

#include "api/entry.h"
#include "platform/windows/win32.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--exit") == 0) return 0;
    testing::InitGoogleTest(&argc, argv);
    SetEnvironmentVariableA("DYADDEBUG", nullptr);
    dyadc::libraryEntry(GetModuleHandleA(nullptr), dyadc::reasonProcessAttach, nullptr);
    dyadc::platform::SocketLayerRecord record{};
    if (dyadc::platform::startSocketLayer(0x0101, &record) != 0) return 2;
    const int result = RUN_ALL_TESTS();
    dyadc::libraryEntry(GetModuleHandleA(nullptr), dyadc::reasonProcessDetach, nullptr);
    return result;
}
