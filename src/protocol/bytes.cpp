#include "protocol/bytes.h"

#include <iomanip>
#include <locale>
#include <sstream>

namespace util {

uint64_t chartol(const unsigned char* bytes, int pos) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | bytes[pos + i];
    }
    return value;
}

int32_t chartoi(const unsigned char* bytes, int pos) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value = (value << 8) | bytes[pos + i];
    }
    // Two's-complement reading without relying on an implementation-defined conversion.
    return value <= 0x7FFFFFFFu ? static_cast<int32_t>(value) : -static_cast<int32_t>(~value) - 1;
}

uint16_t chartou16(const unsigned char* bytes, int pos) {
    return static_cast<uint16_t>((bytes[pos] << 8) | bytes[pos + 1]);
}

std::string get_formatted_value(double value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(2) << value;
    return text.str();
}

void putBE16(unsigned char* bytes, int pos, uint32_t value) {
    bytes[pos] = static_cast<unsigned char>(value >> 8);
    bytes[pos + 1] = static_cast<unsigned char>(value);
}

void putBE32(unsigned char* bytes, int pos, uint32_t value) {
    bytes[pos] = static_cast<unsigned char>(value >> 24);
    bytes[pos + 1] = static_cast<unsigned char>(value >> 16);
    bytes[pos + 2] = static_cast<unsigned char>(value >> 8);
    bytes[pos + 3] = static_cast<unsigned char>(value);
}

}  // namespace util
