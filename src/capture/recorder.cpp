#include "capture/recorder.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "service/console.h"
#include "service/consolethrottle.h"
#include "service/filedescriptor.h"

namespace capture {

namespace {

constexpr int WRITER_NICE = 10;

std::atomic<Recorder*> activeRecorder{nullptr};
std::atomic<bool> reopenRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// What a record costs in the queue: its bytes and a little for its keeping.
std::size_t weight(const Record& record) {
    return sizeof(Record) + record.port.size() + record.payload.size();
}

// What a record adds to its file: pcap's 16-byte packet header, the pseudo-header, the rest.
std::uint64_t fileSize(const Record& record) {
    const std::size_t name = std::min<std::size_t>(record.port.size(), 255);
    return 16u + std::min<std::uint64_t>(5u + name + record.payload.size(), SNAPLEN);
}

}  // namespace

Recorder* active() {
    return activeRecorder.load(std::memory_order_acquire);
}

void setActive(Recorder* recorder) {
    activeRecorder.store(recorder, std::memory_order_release);
}

void requestReopen() {
    reopenRequested.store(true);
}

std::int64_t now() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void add(Direction direction, Kind kind, const std::string& port, const void* bytes,
         std::size_t size, std::uint8_t flags, std::int64_t at) {
    Recorder* recorder = active();
    if (recorder == nullptr) {
        return;
    }
    Record record;
    record.microseconds = at != 0 ? at : now();
    record.direction = direction;
    record.kind = kind;
    record.flags = flags;
    record.port = port;
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    record.payload.assign(first, first + size);
    recorder->add(std::move(record));
}

Recorder::Recorder(RecorderSettings settings) : settings_(std::move(settings)) {}

Recorder::~Recorder() {
    stop();
}

void Recorder::start() {
    openFile();
    writer_ = std::thread(&Recorder::run, this);
}

void Recorder::stop() {
    {
        MutexLock lock(queueMutex_);
        stopping_ = true;
    }
    queueCv_.notifyAll();
    if (writer_.joinable()) {
        writer_.join();
    }
    file_.close();
}

void Recorder::add(Record record) {
    const std::size_t size = weight(record);
    bool wake = false;
    {
        MutexLock lock(queueMutex_);
        if (queue_.size() >= settings_.queueRecords || queuedBytes_ + size > settings_.queueBytes) {
            ++unmarked_;
            dropped_.fetch_add(1);
            overflowed_.fetch_add(1);
            return;
        }
        if (unmarked_ > 0) {
            // Marks the place of what was lost; it may pass the bound by this one record.
            Record gap = gapRecord(record.microseconds, unmarked_);
            queuedBytes_ += weight(gap);
            queue_.push_back(std::move(gap));
            unmarked_ = 0;
        }
        queuedBytes_ += size;
        queue_.push_back(std::move(record));
        // The writer takes the queue on its own tick; it is woken only when the queue fills.
        wake = queue_.size() == settings_.queueRecords / 2 ||
               (queuedBytes_ >= settings_.queueBytes / 2 &&
                queuedBytes_ - size < settings_.queueBytes / 2);
    }
    if (wake) {
        queueCv_.notifyOne();
    }
}

void Recorder::run() {
    // The capture is written with what the CPU has left: the boards' and the client's threads
    // go first. (A failure leaves the usual priority.)
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), WRITER_NICE);
    std::deque<Record> batch;
    auto lastSync = std::chrono::steady_clock::now();
    bool unsynced = false;  // records written since the last sync
    bool stopping = false;
    while (!stopping) {
        {
            MutexLock lock(queueMutex_);
            const auto deadline = std::chrono::steady_clock::now() + WRITE_PERIOD;
            while (!stopping_ && queue_.size() < settings_.queueRecords / 2 &&
                   queuedBytes_ < settings_.queueBytes / 2) {
                if (!queueCv_.waitUntil(lock, deadline)) {
                    break;
                }
            }
            batch.swap(queue_);
            queuedBytes_ = 0;
            stopping = stopping_;
            if (stopping && unmarked_ > 0) {
                batch.push_back(gapRecord(now(), unmarked_));
                unmarked_ = 0;
            }
        }
        const auto tick = std::chrono::steady_clock::now();
        if (reopenRequested.exchange(false)) {
            // The file was moved away (or the place is fixed): a new one under the name.
            file_.close();
            nextTry_ = tick;
        }
        if (!file_.isOpen() && tick >= nextTry_) {
            openFile();
        }
        for (const Record& record : batch) {
            unsynced = writeOne(record) || unsynced;
        }
        if (file_.isOpen() && (!batch.empty() || unsynced)) {
            std::string error;
            // To the kernel on every batch, to the disk once a second.
            const bool sync = unsynced && (tick - lastSync >= std::chrono::seconds(1) || stopping);
            if (!(sync ? file_.sync(error) : file_.flush(error))) {
                fail(error);
            } else if (sync) {
                lastSync = tick;
                unsynced = false;
            }
        }
        batch.clear();
        const std::uint64_t overflowed = overflowed_.load();
        if (overflowed != saidOverflowed_) {
            saidOverflowed_ = overflowed;
            consoleThrottle().print("capture-overflow",
                                    "Capture: the writer fell behind, records dropped (" +
                                        std::to_string(overflowed) + " so far)");
        }
    }
    file_.close();
}

bool Recorder::openFile() {
    std::string error;
    // Flushed at once: whoever reads the file finds a whole (empty) capture.
    if (!freeName(error) || !file_.open(settings_.path, error) || !file_.flush(error)) {
        fail(error);
        return false;
    }
    if (!failure_.empty()) {
        console::out("Capture: writing " + settings_.path + " again");
        failure_.clear();
    }
    if (lost_ > 0) {
        const Record gap = gapRecord(now(), lost_);
        lost_ = 0;
        writeOne(gap);
    }
    return true;
}

std::string Recorder::ringName(unsigned n) const {
    return n == 0 ? settings_.path : settings_.path + "." + std::to_string(n);
}

bool Recorder::freeName(std::string& error) {
    // Looked at, never followed. A link planted after this look is still harmless: a rename
    // onto it replaces the link itself, and the new file is made only where nothing is.
    struct stat head {};
    bool headThere = false;
    for (unsigned n = 0; n < settings_.files; ++n) {
        const std::string name = ringName(n);
        struct stat info {};
        if (::lstat(name.c_str(), &info) != 0) {
            if (errno == ENOENT) {
                continue;
            }
            error = std::strerror(errno);
            return false;
        }
        if (!S_ISREG(info.st_mode)) {
            error = name + " is " + fileKind(info.st_mode) + ", not a regular file";
            return false;
        }
        if (n == 0) {
            head = info;
            headThere = true;
        }
    }
    if (!headThere) {
        return true;
    }
    // An earlier capture under the name (a restart, a reopen without a move) goes down the
    // ring rather than being overwritten; a file that a full disk left with pcap's header
    // alone, or nothing, is removed.
    if (head.st_size > 24 && settings_.files > 1) {
        return shiftRing(error);
    }
    if (::unlink(settings_.path.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove the old " + settings_.path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool Recorder::shiftRing(std::string& error) {
    for (unsigned n = settings_.files - 1; n >= 1; --n) {
        const std::string from = ringName(n - 1);
        const std::string to = ringName(n);
        // A gap in the ring (FILE.2 but no FILE.1) is no failure; FILE itself must move.
        if (std::rename(from.c_str(), to.c_str()) != 0 && (n == 1 || errno != ENOENT)) {
            error = "cannot move " + from + " to " + to + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool Recorder::writeOne(const Record& record) {
    if (file_.isOpen() && file_.bytes() > 24 &&
        file_.bytes() + fileSize(record) > settings_.fileBytes) {
        file_.close();
        openFile();
    }
    std::string error;
    if (!file_.isOpen()) {
        ++lost_;
        dropped_.fetch_add(1);
        return false;
    }
    if (!file_.write(record, error)) {
        ++lost_;
        dropped_.fetch_add(1);
        fail(error);
        return false;
    }
    written_.fetch_add(1);
    return true;
}

void Recorder::fail(const std::string& reason) {
    file_.close();
    nextTry_ = std::chrono::steady_clock::now() + RETRY_PERIOD;
    if (reason != failure_) {
        console::out("Capture to " + settings_.path + " failed: " + reason +
                     "; the bench is served without it, trying again every " +
                     std::to_string(RETRY_PERIOD.count()) + " s");
        failure_ = reason;
    }
}

}  // namespace capture
