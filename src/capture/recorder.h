// The capture recorder: the data path hands it records and returns at once; a writer thread of
// its own writes them to a ring of pcap files (FILE, FILE.1, ...), flushed so that a record is
// on the disk within a second.
//
// Nothing here blocks the data path: the queue is bounded by records and bytes, and records
// that find it full are dropped, counted, and marked in the file by a gap record. A file that
// cannot be written (a read-only or full place) is said once on the console, with its reason;
// the writer tries again every RETRY_PERIOD and on requestReopen(), saying the line again only
// when the reason changes.
//
// The place may be shared with other users: a name of the ring that is anything but a regular
// file (a link someone planted, a FIFO, a directory) is refused like a place that cannot be
// written, and nothing found under a name is ever opened: a capture file is always made anew.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>

#include "capture/record.h"
#include "service/sync.h"

namespace capture {

struct RecorderSettings {
    std::string path;                     // FILE; the ring adds FILE.1, FILE.2, ...
    std::uint64_t fileBytes = 64u << 20;  // a file is rotated before it would pass this
    unsigned files = 4;                   // FILE and at most files - 1 older ones
    // The queue between the data path and the writer.
    std::size_t queueRecords = 65536;
    std::size_t queueBytes = 16u << 20;
};

class Recorder {
public:
    // How long a record may wait in the queue before the writer takes it; the file is flushed
    // after every batch, so a record reaches the disk within about this.
    static constexpr std::chrono::milliseconds WRITE_PERIOD{200};
    // How often a file that could not be opened or written is tried again.
    static constexpr std::chrono::seconds RETRY_PERIOD{10};

    explicit Recorder(RecorderSettings settings);
    // Stops the writer (writing what is queued) and closes the file.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Opens the file (a failure is said, not fatal) and starts the writer.
    void start();
    // Writes what is queued, ends the writer and closes the file. Idempotent.
    void stop();

    // Queues one record; drops it (counted, later marked by a gap record) when the queue is
    // full. Never blocks beyond a short lock. Safe from any thread; may be called under a
    // channel's writeMutex (the queue's lock is a leaf).
    void add(Record record);
    // Records dropped so far: a full queue, or a file that could not take them.
    std::uint64_t dropped() const { return dropped_.load(); }
    // Records written to a file so far.
    std::uint64_t written() const { return written_.load(); }

private:
    void run();
    // Opens FILE; on failure says why (once per reason) and schedules the next try.
    bool openFile();
    // Clears the way for a new FILE; false with the reason.
    bool freeName(std::string& error);
    bool writeOne(const Record& record);
    // Moves FILE to FILE.1, FILE.1 to FILE.2, ..., the oldest falling off the ring; false with
    // the reason when FILE could not be moved.
    bool shiftRing(std::string& error);
    // FILE for 0, else FILE.n.
    std::string ringName(unsigned n) const;
    void fail(const std::string& reason);

    const RecorderSettings settings_;
    mutable Mutex queueMutex_;  // a leaf: see service/runstate.h
    CondVar queueCv_;           // the queue is half full, or stop
    std::deque<Record> queue_ GUARDED_BY(queueMutex_);
    std::size_t queuedBytes_ GUARDED_BY(queueMutex_) = 0;
    std::uint64_t unmarked_ GUARDED_BY(queueMutex_) = 0;  // dropped, no gap record queued yet
    bool stopping_ GUARDED_BY(queueMutex_) = false;
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> overflowed_{0};  // dropped by a full queue

    // The writer thread's own.
    PcapWriter file_;
    std::string failure_;  // the reason the file is not open, as last said; empty when it is
    std::chrono::steady_clock::time_point nextTry_;
    std::uint64_t lost_ = 0;  // records lost while the file was not open, for the next gap
    std::uint64_t saidOverflowed_ = 0;
    std::thread writer_;
};

// The recorder the hooks feed, or null when capture is off: one atomic load. Set before the
// channels and the server start, cleared after they end.
Recorder* active();
void setActive(Recorder* recorder);
// Asks the active recorder to reopen its file on its next pass. Safe from a signal handler.
void requestReopen();
// Now, in microseconds since the Unix epoch, for a record's time stamp.
std::int64_t now();
// Queues a record of bytes to the active recorder, if any.
void add(Direction direction, Kind kind, const std::string& port, const void* bytes,
         std::size_t size, std::uint8_t flags = 0, std::int64_t at = 0);

}  // namespace capture
