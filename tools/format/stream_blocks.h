// Reading a transfer's one stream (stream_format.h) from its blocks as the
// events of decode.h, so that the receiver stores, checks, refuses and
// reports the files of either format in one way. The stream's own faults
// (a damaged stream, a series that ends before the end record, blocks of
// another name or kind) end it with a `failed` event; a file's own faults
// are the receiver's to find, as in the file-per-series format.
#pragma once

#include <memory>

#include "tools/format/decode.h"
#include "tools/format/stream_decoder.h"

namespace dyad::format {

// The decoder of the blocks of a transfer, by its first block: the stream's
// when the block is named streamName, else the file-per-series one.
std::unique_ptr<BlockDecoder> pickDecoder(const Block& first);

class StreamBlockDecoder final : public BlockDecoder {
public:
    std::vector<Event> take(const Block& block) override;
    std::vector<Event> end(bool peerClosed) override;

private:
    void fail(Event::Fault fault, const std::string& why, std::vector<Event>* events,
              std::string_view peerText = {});
    void translate(const stream::StreamEvent& event, std::vector<Event>* events);

    stream::StreamDecoder decoder_;
    const ChecksumFormat* checksum_ = &formatOf(Checksum::xxh128);
    bool started_ = false;
    bool lastArrived_ = false;  // the series' type 20 block came
    bool failed_ = false;
    std::string path_;  // the file in progress
};

}  // namespace dyad::format
