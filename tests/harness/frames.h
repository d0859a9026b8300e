// Frames as a board or the host puts them on the line, encoded here apart from the daemon's own
// codec so that tests do not take the codec's word for what it encodes. Shared by the tests and
// the benchmarks.
#pragma once

#include <vector>

namespace harness {

using Bytes = std::vector<unsigned char>;

// An encoded data frame with the right CRC.
Bytes dataFrame(unsigned char number, unsigned char code, unsigned char access,
                const Bytes& payload);
// An encoded acknowledgement of data frame `number`.
Bytes ackFrame(unsigned char number);

}  // namespace harness
