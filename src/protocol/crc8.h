// CRC-8 of the board protocol: reflected polynomial 0x8C, initial value 0, no final XOR.
#pragma once

// Updates the running CRC at *crc with one byte.
void crc8(unsigned char* crc, unsigned char byte);
// The CRC of len bytes from data, starting from 0; 0 for len of 0 or less.
unsigned char crcCheck(const unsigned char* data, int len);
