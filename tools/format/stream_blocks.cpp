#include "tools/format/stream_blocks.h"

#include "dyadc.h"

namespace dyad::format {

std::unique_ptr<BlockDecoder> pickDecoder(const Block& first) {
    if (first.first == stream::streamName) return std::make_unique<StreamBlockDecoder>();
    return std::make_unique<SeriesDecoder>();
}

namespace {

std::string hexOf(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

}  // namespace

void StreamBlockDecoder::fail(Event::Fault fault, const std::string& why, std::vector<Event>* events,
                              std::string_view peerText) {
    failed_ = true;
    Event failed;
    failed.kind = Event::failed;
    failed.fault = fault;
    failed.name = why;
    failed.peerText = std::string(peerText);
    events->push_back(std::move(failed));
}

std::vector<Event> StreamBlockDecoder::take(const Block& block) {
    std::vector<Event> events;
    if (failed_) return events;
    const std::string at = " at byte " + std::to_string(decoder_.offset()) + " of the stream";
    if (block.first != stream::streamName) {
        fail(Event::damaged, "a block of another name came" + at, &events, block.first);
        return events;
    }
    if (block.second != stream::plainVariant) {
        if (started_) {
            fail(Event::damaged, "a block of another kind came" + at, &events, block.second);
        } else if (block.second == stream::sealedVariant) {
            fail(Event::unknownKind, "a private transfer, sealed with a code: dyad receive --code receives it",
                 &events);
        } else {
            fail(Event::unknownKind, "a transfer of a kind this dyad does not know", &events, block.second);
        }
        return events;
    }
    // The first block of the series is of type 21, or a lone type 20 (whose
    // first pieces the library reports as 22); the series ends with type 20.
    if (lastArrived_ || (block.type == DYAD_BLOCK_FIRST && started_) ||
        (block.type != DYAD_BLOCK_FIRST && block.type != DYAD_BLOCK_MORE && block.type != DYAD_BLOCK_LAST)) {
        fail(Event::damaged,
             "a block of type " + std::to_string(block.type) +
                 (lastArrived_ ? " came after the stream's last block" : " came in the stream") + at,
             &events);
        return events;
    }
    started_ = true;
    lastArrived_ = block.type == DYAD_BLOCK_LAST;
    decoder_.feed({block.data, block.length});
    for (stream::StreamEvent event; !failed_ && (event = decoder_.next()).kind != stream::StreamEvent::more;) {
        translate(event, &events);
    }
    if (lastArrived_ && !failed_ && !decoder_.ended()) {
        const stream::StreamEvent cut = decoder_.finish();
        fail(Event::cutShort,
             "the stream's last block ended at byte " + std::to_string(cut.offset) + ", before its end record",
             &events);
    }
    return events;
}

std::vector<Event> StreamBlockDecoder::end(bool peerClosed) {
    std::vector<Event> events;
    if (failed_ || !started_ || decoder_.ended()) return events;
    fail(Event::cutShort,
         std::string(peerClosed ? "the peer closed the pairing" : "receiving stopped") + " at byte " +
             std::to_string(decoder_.offset()) + " of the stream, before its end record",
         &events);
    return events;
}

void StreamBlockDecoder::translate(const stream::StreamEvent& event, std::vector<Event>* events) {
    using stream::StreamEvent;
    Event out;
    switch (event.kind) {
        case StreamEvent::more:
        case StreamEvent::end:
            return;
        case StreamEvent::header:
            checksum_ = &formatOf(event.checksum == stream::StreamChecksum::sha256 ? Checksum::sha256
                                                                                   : Checksum::xxh128);
            return;
        case StreamEvent::fileBegin:
            out.kind = Event::file;
            out.name = std::string(event.path);
            out.size.kind = Size::known;
            out.size.bytes = event.size;
            out.sizeText = std::to_string(event.size);
            events->push_back(std::move(out));
            if (event.hasTime) {
                // A time beyond what nanoseconds in 64 bits hold is left out.
                Event time;
                time.kind = Event::time;
                int64_t nanoseconds = 0;
                if (!__builtin_mul_overflow(event.time.seconds, int64_t{stream::nanosecondsPerSecond},
                                            &nanoseconds) &&
                    !__builtin_add_overflow(nanoseconds, int64_t{event.time.nanoseconds}, &nanoseconds)) {
                    time.nanoseconds = nanoseconds;
                }
                events->push_back(std::move(time));
            }
            return;
        case StreamEvent::content:
            out.kind = Event::bytes;
            out.data = event.data.data();
            out.length = static_cast<uint32_t>(event.data.size());
            if (out.length > 0) events->push_back(std::move(out));
            return;
        case StreamEvent::fileEnd:
            out.kind = Event::complete;
            out.claim.format = checksum_;
            if (event.status == stream::FileStatus::withdrawn) {
                out.claim.kind = Claim::withdrawn;
            } else {
                out.claim.kind = Claim::known;
                out.claim.digits = hexOf(event.data);
            }
            events->push_back(std::move(out));
            return;
        case StreamEvent::folder:
            out.kind = Event::folder;
            out.name = std::string(event.path) + "/";
            events->push_back(std::move(out));
            return;
        case StreamEvent::error:
            return fail(Event::damaged,
                        "the stream is damaged at byte " + std::to_string(event.offset) + ": " + event.reason,
                        events);
    }
}

}  // namespace dyad::format
