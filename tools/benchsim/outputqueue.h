// A board's output waiting for the line, with the frames it is made of: which ones went out
// whole as bytes are written, and which ones never did when the queue is dropped. No
// descriptors, no clock: the simulator writes and the frame log tells.
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include "protocolendpoint.h"

class OutputQueue {
public:
    explicit OutputQueue(std::size_t limit) : limit_(limit) {}

    // Queues a batch whole, or none of it when the queue would grow past its limit: then false,
    // with the batch's pieces in `lost`. `pieces` cover the batch's bytes, or are empty when
    // nobody keeps count.
    bool add(const std::vector<unsigned char>& bytes, std::vector<LineEvent> pieces,
             std::vector<LineEvent>& lost);
    // `count` bytes from the front went to the line; returns the pieces whose last byte went.
    std::vector<LineEvent> written(std::size_t count);
    // Drops everything; returns the pieces not written whole (a partly written one included).
    std::vector<LineEvent> clear();

    bool empty() const { return bytes_.empty(); }
    const unsigned char* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }

private:
    std::size_t limit_;
    std::vector<unsigned char> bytes_;
    std::deque<LineEvent> pieces_;
    std::size_t frontWritten_ = 0;  // bytes of pieces_.front() already on the line
};
