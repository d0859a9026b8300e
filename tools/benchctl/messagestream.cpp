#include "messagestream.h"

void MessageStream::feed(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == ';') {
            if (overlong_) {
                ++dropped_;
                overlong_ = false;
            } else {
                complete_.push_back(std::move(partial_));
            }
            partial_.clear();
        } else if (!overlong_) {
            if (partial_.size() >= MAX_MESSAGE) {
                overlong_ = true;
                partial_.clear();
                partial_.shrink_to_fit();
            } else {
                partial_.push_back(bytes[i]);
            }
        }
    }
}

bool MessageStream::next(std::string& message) {
    if (complete_.empty()) {
        return false;
    }
    message = std::move(complete_.front());
    complete_.pop_front();
    return true;
}
