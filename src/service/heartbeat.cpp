#include "service/heartbeat.h"

#include <map>
#include <mutex>

namespace {

struct Entry {
    std::string name;
    std::shared_ptr<std::atomic<Heartbeat::Clock::rep>> last;
};

std::mutex registryMutex;            // a leaf: nothing else is taken under it
std::map<uint64_t, Entry> registry;  // guarded by registryMutex
uint64_t nextId = 0;                 // guarded by registryMutex

}  // namespace

Heartbeat::Heartbeat(std::string name)
    : last_(std::make_shared<std::atomic<Clock::rep>>(Clock::now().time_since_epoch().count())) {
    std::lock_guard<std::mutex> lock(registryMutex);
    id_ = nextId++;
    registry.emplace(id_, Entry{std::move(name), last_});
}

Heartbeat::~Heartbeat() {
    std::lock_guard<std::mutex> lock(registryMutex);
    registry.erase(id_);
}

std::string Heartbeat::silentFor(std::chrono::milliseconds limit) {
    const Clock::rep now = Clock::now().time_since_epoch().count();
    const Clock::rep bound = std::chrono::duration_cast<Clock::duration>(limit).count();
    std::string silent;
    Clock::rep longest = bound;
    std::lock_guard<std::mutex> lock(registryMutex);
    for (const auto& entry : registry) {
        const Clock::rep quiet = now - entry.second.last->load(std::memory_order_relaxed);
        if (quiet >= longest) {
            longest = quiet;
            silent = entry.second.name;
        }
    }
    return silent;
}
