#include "tools/format/decode.h"

#include <charconv>

#include "dyadc.h"

namespace dyad::format {

Size sizeOf(std::string_view text) {
    Size size;
    if (!text.empty() && text[0] == '-') {
        size.kind = Size::refused;
        return size;
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return size;
    for (char digit : text) {
        const auto value = static_cast<uint64_t>(digit - '0');
        if (size.bytes > (UINT64_MAX - value) / 10) {
            size.kind = Size::refused;
            return size;
        }
        size.bytes = size.bytes * 10 + value;
    }
    size.kind = Size::known;
    return size;
}

std::optional<int64_t> timeOf(std::string_view text) {
    if (text.substr(0, timeMark.size()) != timeMark) return std::nullopt;
    const char* start = text.data() + timeMark.size();
    const char* end = text.data() + text.size();
    int64_t nanoseconds = 0;
    const auto [at, error] = std::from_chars(start, end, nanoseconds);
    if (error != std::errc() || at != end || start == end) return std::nullopt;
    return nanoseconds;
}

std::string digestText(std::string_view digits, const ChecksumFormat& format) {
    if (digits.size() != format.digits) return "";
    std::string text;
    for (char c : digits) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "";
        text += c;
    }
    return text;
}

namespace {

Event eventOf(Event::Kind kind, std::string_view name = {}) {
    Event event;
    event.kind = kind;
    event.name = std::string(name);
    return event;
}

void addBytes(const Block& block, std::vector<Event>* events) {
    if (block.length == 0) return;
    Event bytes = eventOf(Event::bytes);
    bytes.data = block.data;
    bytes.length = block.length;
    events->push_back(std::move(bytes));
}

}  // namespace

std::vector<Event> SeriesDecoder::take(const Block& block) {
    std::vector<Event> events;
    const bool folderBlock = !block.first.empty() && block.first.back() == '/' && block.second == folderMark;
    // A type 22 block of another file than the one in progress is no part
    // of it.
    if (block.type == DYAD_BLOCK_MORE && !inProgress(block.first)) {
        drop(block.first, block.length, folderBlock, &events);
        return events;
    }
    if (block.type != DYAD_BLOCK_MORE) reportDropped(&events);
    switch (block.type) {
        case DYAD_BLOCK_FIRST:
            if (!folderBlock) {
                start(block, true, &events);
                break;
            }
            endFile(Event::nextStarted, &events);
            events.push_back(eventOf(Event::folder, block.first));
            drop(block.first, block.length, true, &events);  // an empty folder's block carries no bytes
            break;
        case DYAD_BLOCK_MORE:
            if (block.length == 0) {
                Event time = eventOf(Event::time);
                time.nanoseconds = timeOf(block.second);
                events.push_back(std::move(time));
            } else {
                addBytes(block, &events);
            }
            break;
        case DYAD_BLOCK_LAST:
            last(block, &events);
            break;
        default:  // a single block: an earlier sender's whole file
            start(block, false, &events);
            break;
    }
    return events;
}

std::vector<Event> SeriesDecoder::end(bool peerClosed) {
    std::vector<Event> events;
    reportDropped(&events);
    endFile(peerClosed ? Event::peerClosed : Event::stopped, &events);
    return events;
}

void SeriesDecoder::start(const Block& block, bool series, std::vector<Event>* events) {
    endFile(Event::nextStarted, events);
    active_ = true;
    series_ = series;
    name_ = std::string(block.first);
    sizeText_ = std::string(block.second);
    Event file = eventOf(Event::file, block.first);
    file.sizeText = sizeText_;
    file.size = sizeOf(sizeText_);
    file.series = series;
    events->push_back(std::move(file));
    addBytes(block, events);
}

// A type 20 block: a file's checksum, or an earlier sender's last bytes,
// which it named as it named the file's first block: with its size.
void SeriesDecoder::last(const Block& block, std::vector<Event>* events) {
    Claim claim;
    if ((claim.format = checksumNamed(block.second)) != nullptr) {
        claim.kind = Claim::known;
        claim.digits.assign(reinterpret_cast<const char*>(block.data), block.length);
    } else if (inProgress(block.first) && block.second != sizeText_) {
        claim.kind = Claim::unknown;
        claim.name = std::string(block.second);
    }
    if (claim.kind != Claim::none && !inProgress(block.first)) {
        events->push_back(eventOf(Event::strayChecksum, block.first));
        return;
    }
    if (claim.kind == Claim::none) {
        if (!inProgress(block.first)) return drop(block.first, block.length, false, events);
        addBytes(block, events);
    }
    Event complete = eventOf(Event::complete, name_);
    complete.claim = std::move(claim);
    events->push_back(std::move(complete));
    active_ = false;
}

// Ends the file in progress: an earlier sender's single block is complete
// at the next start and when the peer closed; a series is not.
void SeriesDecoder::endFile(Event::Ending ending, std::vector<Event>* events) {
    if (!active_) return;
    active_ = false;
    if (!series_ && ending != Event::stopped) {
        events->push_back(eventOf(Event::complete, name_));
        return;
    }
    Event unfinished = eventOf(Event::unfinished, name_);
    unfinished.ending = ending;
    events->push_back(std::move(unfinished));
}

// Bytes that belong to no file in progress: counted, and reported once for
// each run of such blocks.
void SeriesDecoder::drop(std::string_view name, uint32_t length, bool folder, std::vector<Event>* events) {
    if (length == 0) return;
    if (dropped_ > 0 && (name != droppedName_ || folder != droppedFolder_)) reportDropped(events);
    droppedName_ = std::string(name);
    droppedFolder_ = folder;
    dropped_ += length;
}

void SeriesDecoder::reportDropped(std::vector<Event>* events) {
    if (dropped_ == 0) return;
    Event stray = eventOf(Event::stray, droppedName_);
    stray.dropped = dropped_;
    stray.ofFolder = droppedFolder_;
    events->push_back(std::move(stray));
    dropped_ = 0;
}

}  // namespace dyad::format
