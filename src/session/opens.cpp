// The count of opens per process (see opens.h).
//
// A record is claimed by a compare-and-swap of its process from 0 to this
// process, and freed by one from an ended process to 0, so that only one
// process takes back an ended process's opens. Only its own process changes
// a record's count while that process runs; once it has ended, its count no
// longer changes and is read before the record is freed.
#include "session/opens.h"

#include <atomic>

#include "session/session.h"

namespace dyadc {
namespace {

using platform::ProcessIdentity;

std::atomic_ref<ProcessIdentity> processOf(OpenRecord& record) {
    return std::atomic_ref<ProcessIdentity>(record.process);
}
std::atomic_ref<uint32_t> opensOf(OpenRecord& record) {
    return std::atomic_ref<uint32_t>(record.opens);
}

// Takes `count` off openCount, never below 0. Returns what is left.
uint32_t subtractOpens(uint32_t count) {
    std::atomic_ref<uint32_t> total(sharedSession().openCount);
    uint32_t current = total.load();
    uint32_t left;
    do {
        left = current > count ? current - count : 0;
    } while (!total.compare_exchange_weak(current, left));
    return left;
}

void takeBackEndedOpens() {
    for (OpenRecord& record : sharedSession().openRecords) {
        const ProcessIdentity process = processOf(record).load();
        if (process == 0 || platform::processAlive(process)) continue;
        const uint32_t opens = opensOf(record).load();
        ProcessIdentity ended = process;
        if (processOf(record).compare_exchange_strong(ended, 0)) (void)subtractOpens(opens);
    }
}

OpenRecord* ownRecord() {
    const ProcessIdentity me = platform::currentProcess();
    for (OpenRecord& record : sharedSession().openRecords) {
        if (processOf(record).load() == me) return &record;
    }
    return nullptr;
}

}  // namespace

bool countOpen(uint32_t* ticket) {
    OpenRecord* record = ownRecord();
    if (record == nullptr) {
        takeBackEndedOpens();
        const ProcessIdentity me = platform::currentProcess();
        for (OpenRecord& free : sharedSession().openRecords) {
            ProcessIdentity none = 0;
            if (processOf(free).compare_exchange_strong(none, me)) {
                opensOf(free).store(0);
                record = &free;
                break;
            }
        }
        if (record == nullptr) return false;
    }
    opensOf(*record).fetch_add(1);
    *ticket = std::atomic_ref<uint32_t>(sharedSession().openCount).fetch_add(1) + 1;
    return true;
}

bool countClose(uint32_t* left) {
    takeBackEndedOpens();
    OpenRecord* record = ownRecord();
    if (record == nullptr) return false;
    // Threads of this process may close at the same time: one open each.
    std::atomic_ref<uint32_t> opens = opensOf(*record);
    uint32_t current = opens.load();
    do {
        if (current == 0) return false;
    } while (!opens.compare_exchange_weak(current, current - 1));
    *left = subtractOpens(1);
    return true;
}

void forgetOwnOpens() {
    OpenRecord* record = ownRecord();
    if (record == nullptr) return;
    (void)subtractOpens(opensOf(*record).exchange(0));
    processOf(*record).store(0);
}

void forgetAllOpens() {
    SharedSession& s = sharedSession();
    for (OpenRecord& record : s.openRecords) {
        processOf(record).store(0);
        opensOf(record).store(0);
    }
    std::atomic_ref<uint32_t>(s.openCount).store(0);
}

}  // namespace dyadc
