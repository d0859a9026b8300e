// Big-endian conversions between payload bytes and numbers, and the client's number format.
#pragma once

#include <cstdint>
#include <string>

namespace util {
// 8 bytes from pos on, big-endian, as an unsigned 64-bit integer.
uint64_t chartol(const unsigned char* bytes, int pos);
// 4 bytes from pos on, big-endian, as a signed 32-bit two's-complement integer.
int32_t chartoi(const unsigned char* bytes, int pos);
// 2 bytes from pos on, big-endian, unsigned.
uint16_t chartou16(const unsigned char* bytes, int pos);
// Fixed notation with two decimals in the classic C locale, whatever the process locale.
std::string get_formatted_value(double value);
// Big-endian stores into a payload.
void putBE16(unsigned char* bytes, int pos, uint32_t value);
void putBE32(unsigned char* bytes, int pos, uint32_t value);
}  // namespace util
