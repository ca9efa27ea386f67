#include "tools/base/progress.h"

#include <cstdio>

namespace dyad {

using Clock = std::chrono::steady_clock;

std::string Progress::size(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

void Progress::begin(double base, uint64_t total) {
    base_ = base;
    total_ = total;
    done_ = 0;
    started_ = drawn_ = Clock::now();
    reported_ = false;
    active_ = true;
}

double Progress::seconds() const {
    return std::chrono::duration<double>((active_ ? Clock::now() : finished_) - started_).count();
}

double Progress::rate() const {
    double elapsed = seconds();
    return elapsed > 0 ? static_cast<double>(done_) / elapsed : 0.0;
}

double Progress::steadyRate() const {
    // Bytes after the first report that are fewer than those before it (the
    // end of a file that its first block nearly held) measure nothing.
    const double elapsed = std::chrono::duration<double>(lastAt_ - firstAt_).count();
    const uint64_t after = done_ > firstDone_ ? done_ - firstDone_ : 0;
    return reported_ && elapsed > 0 && after >= firstDone_ && after > 0 ? static_cast<double>(after) / elapsed
                                                                        : 0.0;
}

void Progress::update(double bytesTransferred) {
    if (!active_) return;
    double moved = bytesTransferred - base_;
    done_ = moved > 0 ? static_cast<uint64_t>(moved) : 0;
    auto now = Clock::now();
    if (!reported_) {
        reported_ = true;
        firstAt_ = now;
        firstDone_ = done_;
    }
    lastAt_ = now;
    auto every = style_ == Style::bar ? std::chrono::milliseconds(100) : std::chrono::milliseconds(2000);
    if (now - drawn_ >= every) {
        drawn_ = now;
        draw(false);
    }
}

void Progress::exclude(double bytes) {
    base_ += bytes;
    const auto whole = static_cast<uint64_t>(bytes);
    done_ = done_ > whole ? done_ - whole : 0;
}

uint64_t Progress::finish() {
    if (active_) {
        finished_ = Clock::now();
        draw(true);
    }
    active_ = false;
    return done_;
}

void Progress::draw(bool last) {
    if (style_ == Style::none) return;
    const double perSecond = rate();
    std::string eta = "--:--";
    if (total_ > 0 && perSecond > 0 && done_ <= total_) {
        long left = static_cast<long>(static_cast<double>(total_ - done_) / perSecond + 0.5);
        char text[48];
        std::snprintf(text, sizeof text, "%ld:%02ld", left / 60, left % 60);
        eta = text;
    }
    std::string amount = total_ > 0 ? size(static_cast<double>(done_)) + " / " + size(static_cast<double>(total_))
                                    : size(static_cast<double>(done_));
    amount += ", " + std::to_string(filesDone_);
    if (filesTotal_ > 0) amount += " / " + std::to_string(filesTotal_);
    amount += filesTotal_ == 1 || (filesTotal_ == 0 && filesDone_ == 1) ? " file" : " files";
    if (style_ == Style::bar) {
        constexpr int width = 30;
        int filled = total_ > 0
                         ? static_cast<int>(width * static_cast<double>(done_) / static_cast<double>(total_))
                         : 0;
        if (filled > width) filled = width;
        // Drawn over the last one without escapes, which not every console
        // takes: spaces cover what a longer line left.
        char line[256];
        const int length = std::snprintf(line, sizeof line, "%s [%.*s%*s] %s  %s/s  ETA %s", verb_.c_str(), filled,
                                         "##############################", width - filled, "", amount.c_str(),
                                         size(perSecond).c_str(), eta.c_str());
        const int shown = length < 0                               ? 0
                          : length < static_cast<int>(sizeof line) ? length
                                                                   : static_cast<int>(sizeof line) - 1;
        std::fprintf(stderr, "\r%s%*s", line, drawnWidth_ > shown ? drawnWidth_ - shown : 0, "");
        drawnWidth_ = shown;
        if (last) std::fputc('\n', stderr);
    } else {
        std::fprintf(stderr, "%s: %s at %s/s, ETA %s\n", verb_.c_str(), amount.c_str(), size(perSecond).c_str(),
                     eta.c_str());
    }
    std::fflush(stderr);
}

}  // namespace dyad
