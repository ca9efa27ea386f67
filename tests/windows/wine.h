// Test support for Windows workstations: programs of the Windows build run
// under wine inside a simulated workstation, each workstation with a wine
// prefix of its own whose wineserver runs in its network namespace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/lan.h"

namespace dyadc::test {

// The Windows build's program `name` (test-host, dyad, ...), and its DLL.
std::string windowsProgram(const std::string& name);
std::string windowsLibrary();
// The bytes of the built dyadc.dll with its version record set to
// major.minor.
std::string windowsLibraryWithVersion(uint32_t major, uint32_t minor);

// Wine in one workstation of a LAN: a clone of the build's template prefix
// with the built dyadc.dll in its system directory, and its wineserver
// running in the workstation. The destructor stops the server and removes
// the clone; it must run before the LAN goes.
class WineStation {
public:
    WineStation(const Lan& lan, int host);
    ~WineStation();
    WineStation(const WineStation&) = delete;
    WineStation& operator=(const WineStation&) = delete;

    bool ok() const { return ok_; }
    // The prefix's drive C: and system directory, as seen from outside.
    std::string driveC() const { return prefix_ + "/drive_c"; }
    std::string systemDirectory() const { return driveC() + "/windows/system32"; }
    // Starts a Windows program (a Unix path or a C:\ path) in the workstation;
    // `directory` (a Unix path), when given, is its current directory. On a
    // `terminal` (a pseudo-terminal that script(1) makes) wine gives the
    // program a console, which it draws on the terminal with escapes of its
    // own.
    Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                const std::string& directory = "", bool terminal = false) const;

private:
    const Lan& lan_;
    int host_;
    std::string prefix_;
    bool ok_ = false;
};

}  // namespace dyadc::test
