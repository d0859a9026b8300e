// One record of a capture file: what crossed a serial line or the client link, with its time.
//
// A capture is a pcap file of link type DLT_USER0 (147). Every packet is a record: a short
// pseudo-header (direction, kind, flags, the port's name) followed by the bytes as they crossed
// the line: a whole frame as the parser took it, a run of bytes skipped as noise, or a client
// message's text. docs/capture-format.md describes the layout byte by byte.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace capture {

// DLT_USER0: a link type kept for private use, which a dissector claims by number.
constexpr int LINK_TYPE = 147;
// The version byte that starts every record's pseudo-header.
constexpr std::uint8_t VERSION = 1;
// The largest record a capture holds whole (pseudo-header included); longer ones are cut.
constexpr int SNAPLEN = 262144;

enum class Direction : std::uint8_t {
    FromBoard = 0,   // read from a port
    ToBoard = 1,     // written to a port
    FromClient = 2,  // received from the control client
    ToClient = 3,    // sent to the control client
    Daemon = 4,      // an event of the daemon's own (a gap, a port opened or closed)
};

enum class Kind : std::uint8_t {
    DataFrame = 0,   // a data frame, from its start bytes to its CRC
    AckFrame = 1,    // an acknowledgement frame
    Noise = 2,       // bytes the parser skipped between frames
    Text = 3,        // a client message, without its ';'
    Gap = 4,         // records were dropped here; payload: their count, 8 bytes little-endian
    PortOpened = 5,  // the port was opened; no payload
    PortClosed = 6,  // the port was closed; no payload
};

// Flag bits of the pseudo-header.
constexpr std::uint8_t FLAG_CRC_BAD = 0x01;  // the frame completed with a CRC that did not match

struct Record {
    std::int64_t microseconds = 0;  // since the Unix epoch
    Direction direction = Direction::FromBoard;
    Kind kind = Kind::DataFrame;
    std::uint8_t flags = 0;
    std::string port;  // the device's name ("ttyUSB0"); empty for client records
    std::vector<std::uint8_t> payload;
};

const char* directionName(Direction direction);
const char* kindName(Kind kind);

// The pseudo-header followed by the payload. A port name longer than 255 bytes is cut.
std::vector<std::uint8_t> encode(const Record& record);
// Reads back what encode() made; false (record unchanged) when the bytes are not a record of
// this version: too short, another version, a name longer than the bytes.
bool decode(const std::uint8_t* bytes, std::size_t size, std::int64_t microseconds, Record& record);

// The number of records a gap record says were dropped; 0 for any other record.
std::uint64_t gapCount(const Record& record);
Record gapRecord(std::int64_t microseconds, std::uint64_t dropped);

// Writes records to one pcap file. Not thread-safe: one writer owns it.
class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates the file and writes the pcap header; false with the reason. The name must be
    // free: an existing one (a link someone planted, or any file) is never opened, let alone
    // written through. The file is made 0640 (less as the umask says): it holds the client's
    // commands.
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return dumper != nullptr; }
    // Appends one record; false with the reason when the file could not take it.
    bool write(const Record& record, std::string& error);
    // Hands buffered records to the kernel; false with the reason.
    bool flush(std::string& error);
    // Flushes, then has the kernel put the file on the disk; false with the reason.
    bool sync(std::string& error);
    void close();
    // Bytes written to the file so far, its header included.
    std::uint64_t bytes() const { return written; }

private:
    pcap_t* handle = nullptr;
    pcap_dumper_t* dumper = nullptr;
    std::uint64_t written = 0;
};

// Reads the records of one capture file in order.
class PcapReader {
public:
    PcapReader() = default;
    ~PcapReader();
    PcapReader(const PcapReader&) = delete;
    PcapReader& operator=(const PcapReader&) = delete;

    // Opens a capture; false with the reason, also when its link type is not this one's.
    bool open(const std::string& path, std::string& error);
    // The same from a stream already open (a capture in memory, from fmemopen), which the
    // reader closes, whatever the outcome.
    bool open(FILE* file, std::string& error);
    // The next record; false at the end of the file. A packet that is not a record of this
    // version is skipped and counted.
    bool next(Record& record);
    std::uint64_t skipped() const { return skipped_; }

private:
    void close();
    // Takes a handle libpcap opened; false with the reason when its link type is another.
    bool adopt(pcap_t* opened, std::string& error);

    pcap_t* handle = nullptr;
    std::uint64_t skipped_ = 0;
};

// Every record of a capture file, in order; false with the reason when it cannot be read.
bool readAll(const std::string& path, std::vector<Record>& records, std::string& error);
// The same from a stream, which is closed whatever the outcome.
bool readAll(FILE* file, std::vector<Record>& records, std::string& error);

}  // namespace capture
