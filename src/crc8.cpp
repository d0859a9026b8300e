#include "crc8.h"

void crc8(unsigned char* crc, unsigned char byte) {
    for (int bit = 0; bit < 8; ++bit) {
        bool mix = ((*crc ^ byte) & 0x01) != 0;
        *crc >>= 1;
        if (mix) {
            *crc ^= 0x8C;
        }
        byte >>= 1;
    }
}

unsigned char crcCheck(const unsigned char* data, int len) {
    unsigned char crc = 0;
    for (int i = 0; i < len; ++i) {
        crc8(&crc, data[i]);
    }
    return crc;
}
