#include "protocol/command.h"

#include <cstring>

#include "protocol/crc8.h"

Command::Command() : header{}, data{}, buffer{} {
    reset();
}

Command Command::makeData(unsigned char code, unsigned char access, const unsigned char* payload,
                          unsigned char length) {
    Command command;
    command.type = FRAME_DATA;
    command.header[0] = 0;
    command.header[1] = code;
    command.header[2] = access;
    command.header[3] = length;
    if (length > 0) {
        std::memcpy(command.data, payload, length);
    }
    return command;
}

void Command::reset() {
    state = WAIT_START;
    type = FRAME_NONE;
    valid = false;
    corrupted = false;
    prevByte = 0;
    dataIndex = 0;
    crc = 0;
    header[1] = 0;
}

unsigned Command::size() const {
    switch (type) {
        case FRAME_DATA:
            return header[3] + 8u;
        case FRAME_ACK:
            return 5u;
        default:
            return 0u;
    }
}

unsigned Command::sizeCRC() const {
    switch (type) {
        case FRAME_DATA:
            return header[3] + 4u;
        case FRAME_ACK:
            return 1u;
        default:
            return 0u;
    }
}

void Command::slotNewByte(unsigned char byte) {
    switch (state) {
        case WAIT_START:
            if (prevByte == FRAME_START && byte == FRAME_KIND_DATA) {
                state = READ_NUMBER;
            } else if (prevByte == FRAME_START && byte == FRAME_KIND_ACK) {
                state = READ_ACK_NUMBER;
            }
            break;
        case READ_NUMBER:
            type = FRAME_DATA;
            header[0] = byte;
            state = READ_CODE;
            break;
        case READ_CODE:
            header[1] = byte;
            state = READ_ACCESS;
            break;
        case READ_ACCESS:
            header[2] = byte;
            state = READ_LENGTH;
            break;
        case READ_LENGTH:
            header[3] = byte;
            dataIndex = 0;
            state = byte != 0 ? READ_DATA : READ_CRC;
            break;
        case READ_DATA:
            // dataIndex stays below the announced length (at most 255), so data[] holds it.
            data[dataIndex] = byte;
            ++dataIndex;
            if (dataIndex == header[3]) {
                state = READ_CRC;
            }
            break;
        case READ_CRC: {
            crc = byte;
            unsigned char check = crcCheck(header, 4);
            for (int i = 0; i < header[3]; ++i) {
                crc8(&check, data[i]);
            }
            if (check == byte) {
                valid = true;
            } else {
                corrupted = true;
            }
            state = WAIT_START;
            break;
        }
        case READ_ACK_NUMBER:
            type = FRAME_ACK;
            header[0] = byte;
            state = READ_ACK_CRC;
            break;
        case READ_ACK_CRC:
            crc = byte;
            if (crcCheck(header, 1) == byte) {
                valid = true;
            } else {
                corrupted = true;
            }
            state = WAIT_START;
            break;
        default:
            state = WAIT_START;
            break;
    }
    prevByte = byte;
}

void Command::createCommand() {
    buffer[3] = header[0];
    if (type == FRAME_DATA) {
        // A payload too long for the buffer never leaves: builders stay far below it.
        unsigned length = header[3] <= MAX_OUTBOUND_PAYLOAD ? header[3] : MAX_OUTBOUND_PAYLOAD;
        header[3] = static_cast<unsigned char>(length);
        buffer[0] = FRAME_START;
        buffer[1] = FRAME_START;
        buffer[2] = FRAME_KIND_DATA;
        buffer[4] = header[1];
        buffer[5] = header[2];
        buffer[6] = header[3];
        std::memcpy(buffer + 7, data, length);
        crc = crcCheck(buffer + 3, static_cast<int>(sizeCRC()));
        buffer[7 + length] = crc;
    } else if (type == FRAME_ACK) {
        buffer[0] = FRAME_START;
        buffer[1] = FRAME_START;
        buffer[2] = FRAME_KIND_ACK;
        crc = crcCheck(header, 1);
        buffer[4] = crc;
    }
}

std::string byteList(const Command& command) {
    std::string text;
    for (int i = 0; i < command.length(); ++i) {
        text += std::to_string(command.data[i]);
        text += ' ';
    }
    return text;
}
