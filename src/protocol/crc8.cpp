#include "protocol/crc8.h"

namespace {

// The CRC step of every byte value, worked out once: one lookup per byte instead of eight
// shifts (the reader checks every frame it receives).
struct CrcTable {
    unsigned char value[256] = {};
    constexpr CrcTable() {
        for (int byte = 0; byte < 256; ++byte) {
            unsigned char crc = static_cast<unsigned char>(byte);
            for (int bit = 0; bit < 8; ++bit) {
                crc = static_cast<unsigned char>((crc & 0x01) != 0 ? (crc >> 1) ^ 0x8C : crc >> 1);
            }
            value[byte] = crc;
        }
    }
};

constexpr CrcTable TABLE;

}  // namespace

void crc8(unsigned char* crc, unsigned char byte) {
    *crc = TABLE.value[*crc ^ byte];
}

unsigned char crcCheck(const unsigned char* data, int len) {
    unsigned char crc = 0;
    for (int i = 0; i < len; ++i) {
        crc8(&crc, data[i]);
    }
    return crc;
}
