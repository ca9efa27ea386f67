// Text that the peer controls: the file names it sends and the computer name
// it presents. A name becomes a file only when both systems can store it as
// it is, so that a Linux and a Windows receiver store or refuse the same
// names; and any such text is escaped before it reaches a terminal.
#include "tools/base/names.h"

#include <utf8.h>

#include <array>
#include <cstdio>
#include <string>

namespace dyad {
namespace {

// The longest name a receiver stores, in bytes: with the part file's affixes
// it stays within the 255 bytes (Linux) or characters (Windows) of a name.
constexpr size_t longestName = 200;
// The longest path: what a block's name holds.
constexpr size_t longestPath = 259;

// Code points that steer how a terminal shows the text around them: the C1
// controls, the line and paragraph separators, and every mark that sets,
// reverses or isolates the direction of a line (Unicode's Bidi_Control set:
// U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069).
bool steersDisplay(uint32_t c) {
    return (c >= 0x80 && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

// Whether `stem` names a device on Windows (with any extension after it,
// and in any case): CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also with a
// superscript digit), CONIN$ and CONOUT$.
bool deviceName(std::string stem) {
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();  // Windows drops them
    for (char& c : stem) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (stem == device) return true;
    }
    if (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0) return false;
    const std::string number = stem.substr(3);
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\u00b9" ||
           number == "\u00b2" || number == "\u00b3";
}

}  // namespace

std::string escaped(const std::string& text) {
    std::string shown;
    auto at = text.begin();
    while (at != text.end()) {
        const auto start = at;
        uint32_t c = 0;
        bool valid = true;
        try {
            c = utf8::next(at, text.end());
        } catch (const utf8::exception&) {
            valid = false;
            at = start + 1;
        }
        if (valid && c >= 0x20 && c != 0x7f && c != '\\' && !steersDisplay(c)) {
            shown.append(start, at);
            continue;
        }
        if (c == '\\' && valid) {
            shown += "\\\\";
            continue;
        }
        for (auto byte = start; byte != at; ++byte) {
            std::array<char, 5> hex{};
            std::snprintf(hex.data(), hex.size(), "\\x%02x", static_cast<unsigned char>(*byte));
            shown += hex.data();
        }
    }
    return shown;
}

std::string nameProblem(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return "not a plain file name";
    if (name.size() > longestName) return "longer than 200 bytes";
    for (unsigned char c : name) {
        if (c == '/' || c == '\\') return "not a plain file name";
        if (c < 0x20 || c == 0x7f) return "a control character";
    }
    if (utf8::find_invalid(name.begin(), name.end()) != name.end()) return "not valid UTF-8";
    for (auto at = name.begin(); at != name.end();) {
        const uint32_t c = utf8::next(at, name.end());
        if (c >= 0x80 && c <= 0x9f) return "a control character";
    }
    for (char c : name) {
        if (c == ':') return "a colon, which names a drive or a data stream on Windows";
        if (std::string("<>\"*?|").find(c) != std::string::npos) {
            return std::string("'") + c + "', which Windows cannot store";
        }
    }
    if (name.back() == '.' || name.back() == ' ') return "ends with a dot or a space, which Windows drops";
    if (deviceName(name.substr(0, name.find('.')))) return "a device name on Windows";
    return "";
}

std::string pathProblem(const std::string& path) {
    if (path.size() > longestPath) return "longer than 259 bytes";
    if (!path.empty() && path[0] == '/') return "an absolute path";
    for (size_t start = 0;;) {
        const size_t end = path.find('/', start);
        const std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos && start == 0) return nameProblem(part);  // a plain name
        if (part.empty()) return "an empty folder name in its path";
        const std::string problem = nameProblem(part);
        if (!problem.empty()) return "'" + escaped(part) + "' in its path: " + problem;
        if (end == std::string::npos) return "";
        start = end + 1;
    }
}

}  // namespace dyad
