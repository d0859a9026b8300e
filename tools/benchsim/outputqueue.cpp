#include "outputqueue.h"

bool OutputQueue::add(const std::vector<unsigned char>& bytes, std::vector<LineEvent> pieces,
                      std::vector<LineEvent>& lost) {
    if (bytes_.size() + bytes.size() > limit_) {
        for (LineEvent& piece : pieces) {
            lost.push_back(std::move(piece));
        }
        return false;
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    for (LineEvent& piece : pieces) {
        pieces_.push_back(std::move(piece));
    }
    return true;
}

std::vector<LineEvent> OutputQueue::written(std::size_t count) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(count));
    std::vector<LineEvent> done;
    while (!pieces_.empty() && count > 0) {
        std::size_t left = pieces_.front().size - frontWritten_;
        if (count < left) {
            frontWritten_ += count;
            break;
        }
        count -= left;
        frontWritten_ = 0;
        done.push_back(std::move(pieces_.front()));
        pieces_.pop_front();
    }
    return done;
}

std::vector<LineEvent> OutputQueue::clear() {
    bytes_.clear();
    frontWritten_ = 0;
    std::vector<LineEvent> lost(std::make_move_iterator(pieces_.begin()),
                                std::make_move_iterator(pieces_.end()));
    pieces_.clear();
    return lost;
}
