// A bounded queue between two threads of the dyad command: one side's disk
// work (reading or writing files, and their checksum) runs beside the other
// side's network work, and a fixed number of block buffers travels between
// them, so that memory stays the same whatever the size of the files.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace dyad {

// Bytes of a block that the disk thread reads and hashes, or hashes and
// writes, in one go: a slice stays in the processor's cache from the one step
// to the other, where a whole block of megabytes would be fetched from memory
// twice.
inline constexpr uint32_t hashSlice = 256u << 10;

template <typename T>
class Queue {
public:
    // Adds an item; never blocks (the buffers in circulation bound the items).
    void push(T item) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(std::move(item));
        }
        ready_.notify_one();
    }

    // Takes the oldest item, waiting for one; empty once the queue is closed
    // and drained.
    std::optional<T> pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !items_.empty() || closed_; });
        if (items_.empty()) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        return item;
    }

    // Whether no item waits now.
    bool empty() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.empty();
    }

    // Wakes every waiter; pop() returns what is left, then nothing.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<T> items_;
    bool closed_ = false;
};

}  // namespace dyad
