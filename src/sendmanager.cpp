#include "sendmanager.h"

#include "channel.h"
#include "command.h"
#include "crit.h"
#include "shared.h"

namespace {

constexpr unsigned char CODE_VERSION = 2;
constexpr unsigned char CODE_SCHEDULE = 4;
constexpr int SEND_TRIES = 3;
constexpr std::chrono::milliseconds ACK_WAIT{10};
constexpr std::chrono::milliseconds HANDSHAKE_PAUSE{500};
constexpr std::chrono::milliseconds IDLE_PAUSE{10};

using Schedule = std::vector<std::pair<unsigned char, int>>;

const Schedule CRIT_SCHEDULE = {{10, 600}, {2, 1000}, {11, 300},  {15, 600}, {16, 500},
                                {30, 800}, {31, 800}, {13, 1000}, {41, 400}, {27, 200}};
const Schedule STAND_SCHEDULE = {{47, 1000}, {2, 1000}, {41, 310}, {42, 1100},
                                 {46, 1500}, {10, 600}, {80, 800}, {15, 1000}};
const Schedule FLOWMETER_SCHEDULE = {{2, 1000}, {55, 300}, {53, 500}, {54, 300}};
const Schedule DELAYMETER_SCHEDULE = {{62, 500}};
const Schedule NO_SCHEDULE = {};

std::unique_ptr<Command> numbered(Command command, unsigned char number) {
    command.setNumber(number);
    return std::make_unique<Command>(command);
}

}  // namespace

const Schedule& scheduleFor(int device) {
    switch (device) {
        case known_devices::CRIT0303:
        case known_devices::CRIT0304:
            return CRIT_SCHEDULE;
        case known_devices::STAND:
        case known_devices::STAND62:
            return STAND_SCHEDULE;
        case known_devices::FLOWMETER:
            return FLOWMETER_SCHEDULE;
        case known_devices::DELAYMETER:
            return DELAYMETER_SCHEDULE;
        default:
            return NO_SCHEDULE;
    }
}

SendManager::SendManager(Channel* channel) : channel(channel) {}

SendManager::~SendManager() {
    stop();
    join();
}

void SendManager::start() {
    sender = std::thread(thread_send, this);
}

void SendManager::stop() {
    {
        std::lock_guard<std::mutex> lock(pauseMutex);
        running.store(false);
    }
    pauseCv.notify_all();
}

void SendManager::join() {
    if (sender.joinable()) {
        sender.join();
    }
}

bool SendManager::pause(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(pauseMutex);
    pauseCv.wait_for(lock, period, [this] { return !running.load(); });
    return running.load();
}

std::unique_ptr<Command> SendManager::getVersion() {
    return numbered(Command::makeData(CODE_VERSION, ACCESS_REQUEST, nullptr, 0), frameCounter);
}

std::unique_ptr<Command> SendManager::addSchedule(unsigned char code, int period) {
    unsigned char payload[7] = {0x00, code, 0x04};
    util::putBE32(payload, 3, static_cast<uint32_t>(period));
    return numbered(Command::makeData(CODE_SCHEDULE, ACCESS_COMMAND, payload, sizeof payload),
                    frameCounter);
}

std::unique_ptr<Command> SendManager::clearSchedule() {
    const unsigned char payload[1] = {0xFF};
    return numbered(Command::makeData(CODE_SCHEDULE, ACCESS_COMMAND, payload, 1), frameCounter);
}

void SendManager::enqueue(std::unique_ptr<Command> command) {
    std::vector<std::unique_ptr<Command>> one;
    one.push_back(std::move(command));
    enqueue(std::move(one));
}

void SendManager::enqueue(std::vector<std::unique_ptr<Command>> commands) {
    {
        std::lock_guard<std::mutex> lock(devMutex);
        for (auto& command : commands) {
            sendQueue.push_back(std::move(command));
        }
    }
}

std::unique_ptr<Command> SendManager::popQueued() {
    std::lock_guard<std::mutex> lock(devMutex);
    if (sendQueue.empty()) {
        return nullptr;
    }
    std::unique_ptr<Command> command = std::move(sendQueue.front());
    sendQueue.pop_front();
    return command;
}

std::size_t SendManager::queued() const {
    std::lock_guard<std::mutex> lock(devMutex);
    return sendQueue.size();
}

void SendManager::writeOnce(std::unique_ptr<Command> command) {
    command->setNumber(frameCounter);
    command->createCommand();
    channel->sendCommand(*command);
    ++frameCounter;
}

bool SendManager::sendWithRetries(std::unique_ptr<Command> command) {
    command->setNumber(frameCounter);
    command->createCommand();
    bool acknowledged = false;
    for (int attempt = 0; attempt < SEND_TRIES && !acknowledged; ++attempt) {
        channel->sendCommand(*command);
        bool stillRunning = pause(ACK_WAIT);
        acknowledged = channel->getAckNumber() == command->number();
        if (!stillRunning) {
            // A stopped channel writes nothing more.
            break;
        }
    }
    ++frameCounter;
    return acknowledged;
}

void thread_send(SendManager* manager) {
    Channel& channel = *manager->channel;
    if (!manager->pause(channel.options().startPause)) {
        return;
    }
    while (manager->isRunning()) {
        if (!channel.isDefined()) {
            manager->writeOnce(manager->getVersion());
            manager->writeOnce(manager->clearSchedule());
            manager->writeOnce(manager->addSchedule(CODE_VERSION, 1000));
            // The board's schedule is gone now. Should a timeout have raced with the
            // configuration and left the flag set, the next identification still reprograms it.
            channel.setConfigured(false);
            if (!manager->pause(HANDSHAKE_PAUSE)) {
                break;
            }
        }
        // Only an identified board is configured: a timeout that has just cleared `defined`
        // must not see the old device id and program its schedule again.
        if (!channel.isConfigured() && channel.isDefined()) {
            int device = channel.getDevice();
            const Schedule& schedule = scheduleFor(device);
            for (const auto& entry : schedule) {
                manager->writeOnce(manager->addSchedule(entry.first, entry.second));
            }
            if (device == known_devices::DELAYMETER) {
                manager->writeOnce(CRIT::setDelaySensitivity());
            }
            if (!schedule.empty()) {
                channel.setConfigured();
            }
        }
        while (manager->isRunning()) {
            std::unique_ptr<Command> command = manager->popQueued();
            if (!command) {
                break;
            }
            manager->sendWithRetries(std::move(command));
        }
        if (!manager->pause(IDLE_PAUSE)) {
            break;
        }
    }
}
