#include "capture/record.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace capture {

namespace {

// version, direction, kind, flags, name length
constexpr std::size_t FIXED_HEADER = 5;

}  // namespace

const char* directionName(Direction direction) {
    switch (direction) {
        case Direction::FromBoard:
            return "board to daemon";
        case Direction::ToBoard:
            return "daemon to board";
        case Direction::FromClient:
            return "client to daemon";
        case Direction::ToClient:
            return "daemon to client";
        case Direction::Daemon:
            return "daemon";
    }
    return "unknown";
}

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::DataFrame:
            return "data frame";
        case Kind::AckFrame:
            return "ACK frame";
        case Kind::Noise:
            return "noise";
        case Kind::Text:
            return "text";
        case Kind::Gap:
            return "gap";
        case Kind::PortOpened:
            return "port opened";
        case Kind::PortClosed:
            return "port closed";
    }
    return "unknown";
}

std::vector<std::uint8_t> encode(const Record& record) {
    const std::size_t nameSize = std::min<std::size_t>(record.port.size(), 255);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(FIXED_HEADER + nameSize + record.payload.size());
    bytes.push_back(VERSION);
    bytes.push_back(static_cast<std::uint8_t>(record.direction));
    bytes.push_back(static_cast<std::uint8_t>(record.kind));
    bytes.push_back(record.flags);
    bytes.push_back(static_cast<std::uint8_t>(nameSize));
    bytes.insert(bytes.end(), record.port.begin(), record.port.begin() + nameSize);
    bytes.insert(bytes.end(), record.payload.begin(), record.payload.end());
    return bytes;
}

bool decode(const std::uint8_t* bytes, std::size_t size, std::int64_t microseconds,
            Record& record) {
    if (size < FIXED_HEADER || bytes[0] != VERSION) {
        return false;
    }
    const std::size_t nameSize = bytes[4];
    if (size < FIXED_HEADER + nameSize) {
        return false;
    }
    record.microseconds = microseconds;
    record.direction = static_cast<Direction>(bytes[1]);
    record.kind = static_cast<Kind>(bytes[2]);
    record.flags = bytes[3];
    record.port.assign(reinterpret_cast<const char*>(bytes + FIXED_HEADER), nameSize);
    record.payload.assign(bytes + FIXED_HEADER + nameSize, bytes + size);
    return true;
}

std::uint64_t gapCount(const Record& record) {
    if (record.kind != Kind::Gap || record.payload.size() < 8) {
        return 0;
    }
    std::uint64_t count = 0;
    for (int i = 7; i >= 0; --i) {
        count = (count << 8) | record.payload[i];
    }
    return count;
}

Record gapRecord(std::int64_t microseconds, std::uint64_t dropped) {
    Record record;
    record.microseconds = microseconds;
    record.direction = Direction::Daemon;
    record.kind = Kind::Gap;
    for (int i = 0; i < 8; ++i) {
        record.payload.push_back(static_cast<std::uint8_t>(dropped >> (8 * i)));
    }
    return record;
}

PcapWriter::~PcapWriter() {
    close();
}

bool PcapWriter::open(const std::string& path, std::string& error) {
    close();
    handle = pcap_open_dead(LINK_TYPE, SNAPLEN);
    if (handle == nullptr) {
        error = "cannot make a pcap handle";
        return false;
    }
    // O_EXCL with O_CREAT fails on any existing name, a symbolic link included, dangling or
    // not; O_NOFOLLOW says so in its own words.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        error = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        pcap_close(handle);
        handle = nullptr;
        return false;
    }
    errno = 0;
    dumper = pcap_dump_fopen(handle, file);
    if (dumper == nullptr) {
        // The header could not be written, the one failure with this link type: libpcap
        // has closed the stream then.
        error = pcap_geterr(handle);
        pcap_close(handle);
        handle = nullptr;
        return false;
    }
    // pcap's file header: 24 bytes.
    written = 24;
    return true;
}

bool PcapWriter::write(const Record& record, std::string& error) {
    if (dumper == nullptr) {
        error = "not open";
        return false;
    }
    const std::vector<std::uint8_t> bytes = encode(record);
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(record.microseconds / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(record.microseconds % 1000000);
    header.len = static_cast<bpf_u_int32>(bytes.size());
    header.caplen = static_cast<bpf_u_int32>(std::min<std::size_t>(bytes.size(), SNAPLEN));
    // pcap_dump writes through stdio and says nothing of a failure: errors show in flush.
    pcap_dump(reinterpret_cast<u_char*>(dumper), &header, bytes.data());
    written += 16 + header.caplen;
    FILE* file = pcap_dump_file(dumper);
    if (file != nullptr && std::ferror(file)) {
        error = std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

bool PcapWriter::flush(std::string& error) {
    if (dumper == nullptr) {
        error = "not open";
        return false;
    }
    errno = 0;
    if (pcap_dump_flush(dumper) != 0) {
        error = std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

bool PcapWriter::sync(std::string& error) {
    if (!flush(error)) {
        return false;
    }
    FILE* file = pcap_dump_file(dumper);
    if (file != nullptr && ::fdatasync(fileno(file)) != 0 && errno != EINVAL && errno != EROFS) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

void PcapWriter::close() {
    if (dumper != nullptr) {
        pcap_dump_close(dumper);
        dumper = nullptr;
    }
    if (handle != nullptr) {
        pcap_close(handle);
        handle = nullptr;
    }
    written = 0;
}

PcapReader::~PcapReader() {
    close();
}

bool PcapReader::open(const std::string& path, std::string& error) {
    close();
    char message[PCAP_ERRBUF_SIZE] = {};
    pcap_t* opened = pcap_open_offline(path.c_str(), message);
    if (opened == nullptr) {
        error = message;
        return false;
    }
    return adopt(opened, error);
}

bool PcapReader::open(FILE* file, std::string& error) {
    close();
    char message[PCAP_ERRBUF_SIZE] = {};
    pcap_t* opened = pcap_fopen_offline(file, message);
    if (opened == nullptr) {
        // libpcap leaves the stream to us when it refuses it, and closes it with its handle.
        std::fclose(file);
        error = message;
        return false;
    }
    return adopt(opened, error);
}

void PcapReader::close() {
    if (handle != nullptr) {
        pcap_close(handle);
        handle = nullptr;
    }
}

bool PcapReader::adopt(pcap_t* opened, std::string& error) {
    handle = opened;
    if (pcap_datalink(handle) != LINK_TYPE) {
        error = "not a benchd capture (link type " + std::to_string(pcap_datalink(handle)) + ")";
        close();
        return false;
    }
    skipped_ = 0;
    return true;
}

bool PcapReader::next(Record& record) {
    if (handle == nullptr) {
        return false;
    }
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(handle, &header, &data) == 1) {
        // The file holds both as unsigned 32-bit numbers, which libpcap hands on sign-extended:
        // a capture made after 2038 would read as made before 1970.
        const std::int64_t microseconds =
            static_cast<std::int64_t>(static_cast<std::uint32_t>(header->ts.tv_sec)) * 1000000 +
            static_cast<std::uint32_t>(header->ts.tv_usec);
        if (decode(data, header->caplen, microseconds, record)) {
            return true;
        }
        ++skipped_;
    }
    return false;
}

namespace {

void readRecords(PcapReader& reader, std::vector<Record>& records) {
    Record record;
    while (reader.next(record)) {
        records.push_back(record);
    }
}

}  // namespace

bool readAll(const std::string& path, std::vector<Record>& records, std::string& error) {
    PcapReader reader;
    if (!reader.open(path, error)) {
        return false;
    }
    readRecords(reader, records);
    return true;
}

bool readAll(FILE* file, std::vector<Record>& records, std::string& error) {
    PcapReader reader;
    if (!reader.open(file, error)) {
        return false;
    }
    readRecords(reader, records);
    return true;
}

}  // namespace capture
