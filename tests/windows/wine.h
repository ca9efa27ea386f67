// Test support for Windows workstations: programs of the Windows build run
// under wine inside a simulated workstation, each workstation with a wine
// prefix of its own whose wineserver runs in its network namespace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/lan.h"

namespace dyadc::test {

// The two kinds of Windows programs: 64-bit ones of the Windows build, and
// 32-bit ones of the 32-bit Windows build (only when this build names one:
// DYADC_TEST_WINDOWS_X86_BUILD is defined then).
enum class Windows { x64, x86 };

// The program `name` (test-host, dyad, ...) of the Windows build of a kind,
// and its DLL.
std::string windowsProgram(const std::string& name, Windows kind = Windows::x64);
std::string windowsLibrary(Windows kind = Windows::x64);
// The bytes of that built dyadc.dll with its version record set to
// major.minor.
std::string windowsLibraryWithVersion(uint32_t major, uint32_t minor, Windows kind = Windows::x64);

// Wine in one workstation of a LAN, for programs of one kind: a clone of that
// build's template prefix with its dyadc.dll in the system directory, and
// its wineserver running in the workstation. The destructor stops the server
// and removes the clone; it must run before the LAN goes.
class WineStation {
public:
    WineStation(const Lan& lan, int host, Windows kind = Windows::x64);
    ~WineStation();
    WineStation(const WineStation&) = delete;
    WineStation& operator=(const WineStation&) = delete;

    bool ok() const { return ok_; }
    Windows kind() const { return kind_; }
    // The program `name` of the station's kind.
    std::string program(const std::string& name) const { return windowsProgram(name, kind_); }
    // The prefix's drive C: and the system directory of the station's
    // programs, as seen from outside (32-bit programs see syswow64 as their
    // system32).
    std::string driveC() const { return prefix_ + "/drive_c"; }
    std::string systemDirectory() const {
        return driveC() + (kind_ == Windows::x86 ? "/windows/syswow64" : "/windows/system32");
    }
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
    Windows kind_;
    std::string prefix_;
    bool ok_ = false;
};

}  // namespace dyadc::test
