#include "frames.h"

#include <algorithm>

#include "protocol/crc8.h"

namespace harness {

Bytes dataFrame(unsigned char number, unsigned char code, unsigned char access,
                const Bytes& payload) {
    Bytes frame(7 + payload.size());
    frame[0] = 0xA5;
    frame[1] = 0xA5;
    frame[2] = 0x0F;
    frame[3] = number;
    frame[4] = code;
    frame[5] = access;
    frame[6] = static_cast<unsigned char>(payload.size());
    std::copy(payload.begin(), payload.end(), frame.begin() + 7);
    frame.push_back(crcCheck(frame.data() + 3, static_cast<int>(frame.size() - 3)));
    return frame;
}

Bytes ackFrame(unsigned char number) {
    return {0xA5, 0xA5, 0x33, number, crcCheck(&number, 1)};
}

}  // namespace harness
