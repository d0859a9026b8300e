#include "boardmodel.h"

#include "protocol/codes.h"
#include "protocol/command.h"

BoardModel::BoardModel(unsigned char deviceId, std::array<unsigned char, 3> version, uint32_t seed)
    : deviceId_(deviceId), version_(version), random_(seed) {}

BoardModel::~BoardModel() = default;

Report BoardModel::versionReply() const {
    return {codes::VERSION, {version_[0], version_[1], version_[2], deviceId_}};
}

void BoardModel::advanceTo(int64_t nowMs) {
    if (lastMs_ < 0) {
        lastMs_ = nowMs;
    }
    if (nowMs > lastMs_) {
        evolve(static_cast<double>(nowMs - lastMs_) / 1000.0, nowMs);
        lastMs_ = nowMs;
    }
}

std::vector<Report> BoardModel::handle(const Command& command, int64_t nowMs) {
    advanceTo(nowMs);
    if (command.code() == codes::VERSION && command.access() == ACCESS_REQUEST) {
        return {versionReply()};
    }
    if (command.access() == ACCESS_COMMAND) {
        lastSettings_[command.code()].assign(command.data, command.data + command.length());
    }
    return onCommand(command, nowMs);
}

std::optional<Report> BoardModel::scheduledReport(unsigned char code, int64_t nowMs) {
    advanceTo(nowMs);
    if (code == codes::VERSION) {
        return versionReply();
    }
    if (std::optional<Report> own = report(code, nowMs)) {
        return own;
    }
    auto setting = lastSettings_.find(code);
    if (setting != lastSettings_.end()) {
        return Report{code, setting->second};
    }
    return std::nullopt;
}

std::vector<Report> BoardModel::unsolicited(int64_t) {
    return {};
}

int64_t BoardModel::nextUnsolicited() const {
    return -1;
}

void BoardModel::evolve(double, int64_t) {}

std::vector<Report> BoardModel::onCommand(const Command&, int64_t) {
    return {};
}

std::optional<Report> BoardModel::report(unsigned char, int64_t) {
    return std::nullopt;
}

int BoardModel::noise(int amplitude) {
    if (amplitude <= 0) {
        return 0;
    }
    return std::uniform_int_distribution<int>(-amplitude, amplitude)(random_);
}

double BoardModel::uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random_);
}
