// Progress display of the dyad command: a bar on a terminal, a plain line
// every few seconds otherwise, nothing with --quiet.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace dyad {

class Progress {
public:
    enum class Style { bar, lines, none };

    Progress(Style style, std::string verb) : style_(style), verb_(std::move(verb)) {}

    Style style() const { return style_; }

    // Starts counting from the library's running total `base`; `total` is the
    // number of bytes expected, 0 when unknown.
    void begin(double base, uint64_t total);
    // The library's running total, from its progress callback.
    void update(double bytesTransferred);
    // The files done, and all the files (0 when unknown), for the display.
    void countFiles(uint64_t done, uint64_t total) {
        filesDone_ = done;
        filesTotal_ = total;
    }
    // Leaves `bytes` that the library counted out of the display (the
    // checksum blocks: they are no part of the files).
    void exclude(double bytes);
    // Ends the display and the time it measures, and returns the bytes moved
    // since begin().
    uint64_t finish();
    // Bytes per second from begin() until now or finish().
    double rate() const;
    // Bytes per second from the first progress report to the last one: the
    // rate once the first block got through (0 before two reports, and when
    // fewer bytes came after the first report than with it).
    double steadyRate() const;
    double seconds() const;

    static std::string size(double bytes);

private:
    void draw(bool last);

    Style style_;
    std::string verb_;
    double base_ = 0;
    uint64_t total_ = 0;
    uint64_t done_ = 0;
    uint64_t filesDone_ = 0;
    uint64_t filesTotal_ = 0;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::steady_clock::time_point finished_{};
    std::chrono::steady_clock::time_point drawn_{};
    std::chrono::steady_clock::time_point firstAt_{};
    std::chrono::steady_clock::time_point lastAt_{};
    uint64_t firstDone_ = 0;
    bool reported_ = false;
    bool active_ = false;
    int drawnWidth_ = 0;  // characters of the bar last drawn
};

}  // namespace dyad
