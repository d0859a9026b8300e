#include "webmodel.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "chartmessage.h"
#include "keytable.h"

namespace {

using nlohmann::json;

std::string keyOf(const std::string& message) {
    return message.substr(0, message.find(':'));
}

bool isChartKey(const std::string& key) {
    for (int chart = 1; chart <= ChartMessage::CHARTS; ++chart) {
        if (key == ChartMessage::keyFor(chart)) {
            return true;
        }
    }
    return false;
}

// The row of a key in the table, for the page's order; unknown keys after every known one.
std::size_t orderOf(const std::string& key) {
    const std::vector<KeyInfo>& table = keyTable();
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (key == table[i].key) {
            return i;
        }
    }
    return table.size();
}

std::string boardOfKey(const std::string& key) {
    const KeyInfo* info = findKey(key);
    return boardName(info ? info->board : BoardKind::Other);
}

std::string clockTime(std::chrono::system_clock::time_point when) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

}  // namespace

std::string WebModel::Event::sse() const {
    return "event: " + name + "\ndata: " + data + "\n\n";
}

WebModel::WebModel(std::string bench, std::string monitor)
    : bench_(printable(bench, 64)), monitor_(std::move(monitor)) {}

std::string WebModel::dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::vector<double> WebModel::decimate(const std::vector<double>& values, std::size_t most) {
    if (values.size() <= most || most < 2) {
        return values;
    }
    const std::size_t slices = most / 2;
    std::vector<double> kept;
    kept.reserve(slices * 2);
    for (std::size_t slice = 0; slice < slices; ++slice) {
        const std::size_t begin = slice * values.size() / slices;
        const std::size_t end = (slice + 1) * values.size() / slices;
        auto low = std::min_element(values.begin() + begin, values.begin() + end);
        auto high = std::max_element(values.begin() + begin, values.begin() + end);
        // In the order they occur, so that a rising edge stays rising.
        if (low < high) {
            kept.push_back(*low);
            kept.push_back(*high);
        } else {
            kept.push_back(*high);
            kept.push_back(*low);
        }
    }
    return kept;
}

void WebModel::onMessage(const std::string& message, Clock::time_point now,
                         std::vector<Event>& out) {
    const std::set<std::string> oldBoards = top_.identified();
    top_.onMessage(message);
    const std::string key = keyOf(message);

    if (key.compare(0, 7, "status_") == 0) {
        if (key == "status_end" && top_.status().complete()) {
            out.push_back({"status", dump(status(now))});
        }
        return;
    }
    if (key == "device_connected" || key == "device_disconnected") {
        if (top_.identified() != oldBoards) {
            out.push_back({"boards", dump(boardsJson())});
        }
        if (key == "device_connected") {
            heard_[boardName(boardOfId(printable(message.substr(message.find(':') + 1), 8)))] = now;
        }
        return;
    }
    if (key == "monitor_dropped" || key == "monitor_error") {
        return;  // shown with the next status
    }
    if (isChartKey(key)) {
        if (top_.charts().count(key)) {
            heard_[boardOfKey(key)] = now;
            out.push_back({"chart", dump(chartJson(key, false))});
        }
        return;
    }
    if (!top_.raw(key)) {
        return;  // an unknown key beyond the ones kept
    }
    heard_[boardOfKey(key)] = now;
    Pace& pace = paces_[key];
    if (pace.sent == Clock::time_point() || now - pace.sent >= VALUE_EVERY) {
        pace.sent = now;
        pace.pending = false;
        out.push_back({"value", dump(valueJson(key))});
    } else {
        pace.pending = true;
    }
}

void WebModel::tick(Clock::time_point now, std::vector<Event>& out) {
    for (auto& [key, pace] : paces_) {
        if (pace.pending && now - pace.sent >= VALUE_EVERY) {
            pace.sent = now;
            pace.pending = false;
            out.push_back({"value", dump(valueJson(key))});
        }
    }
}

void WebModel::connected(std::vector<Event>& out) {
    top_.connected(monitor_);
    up_ = true;
    since_.clear();
    reason_.clear();
    out.push_back({"link", dump(linkJson())});
    out.push_back({"boards", dump(boardsJson())});
}

void WebModel::disconnected(const std::string& reason,
                            std::chrono::system_clock::time_point wallNow,
                            std::vector<Event>& out) {
    top_.disconnected(reason);
    // The banner keeps the time the daemon was first missed, through every failed attempt.
    if (up_ || since_.empty()) {
        since_ = clockTime(wallNow);
    }
    up_ = false;
    reason_ = printable(reason, 120);
    out.push_back({"link", dump(linkJson())});
}

void WebModel::setViewers(std::size_t viewers, std::size_t maxViewers, unsigned long lostEvents) {
    viewers_ = viewers;
    maxViewers_ = maxViewers;
    lostEvents_ = lostEvents;
}

json WebModel::linkJson() const {
    json link = {{"monitor", monitor_}, {"up", up_}};
    if (!up_) {
        link["since"] = since_;
        link["reason"] = reason_;
        link["banner"] =
            since_.empty() ? "benchd not reached yet" : "benchd unreachable since " + since_;
    }
    return link;
}

json WebModel::boardsJson() const {
    json boards = json::array();
    for (int kind = 0; kind < BOARD_KINDS; ++kind) {
        json ids = json::array();
        for (const std::string& id : top_.identified()) {
            if (static_cast<int>(boardOfId(id)) == kind) {
                ids.push_back(StatusBlock::boardName(id));
            }
        }
        boards.push_back({{"board", boardName(static_cast<BoardKind>(kind))}, {"ids", ids}});
    }
    return boards;
}

json WebModel::valueJson(const std::string& key) const {
    const std::string* raw = top_.raw(key);
    json cells = json::array();
    for (const Cell& cell : formatValue(key, raw ? *raw : "")) {
        cells.push_back({{"label", cell.label}, {"text", cell.text}, {"unit", cell.unit}});
    }
    const KeyInfo* info = findKey(key);
    return {{"key", printable(key, 40)},
            {"board", boardOfKey(key)},
            {"label", info ? info->label : printable(key, 40)},
            {"order", orderOf(key)},
            {"text", formatLine(key, raw ? *raw : "")},
            {"cells", cells}};
}

json WebModel::chartJson(const std::string& key, bool full) const {
    const std::vector<double>& points = top_.charts().at(key);
    const KeyInfo* info = findKey(key);
    int number = 0;
    for (int chart = 1; chart <= ChartMessage::CHARTS; ++chart) {
        number = key == ChartMessage::keyFor(chart) ? chart : number;
    }
    return {{"key", key},
            {"chart", number},
            {"label", info ? info->label : key},
            {"unit", info ? info->unit : ""},
            {"count", points.size()},
            {"points", full ? points : decimate(points, CHART_POINTS)}};
}

json WebModel::speedJson() const {
    const std::string* raw = top_.raw("device_rpm");
    const KeyInfo* info = findKey("device_rpm");
    return {{"speed", raw ? formatValue("device_rpm", *raw).front().text : ""},
            {"setpoint", top_.status().standSetpoint()},
            {"unit", info ? info->unit : ""},
            {"line", top_.speedLine()}};
}

json WebModel::status(Clock::time_point now) const {
    const StatusBlock& block = top_.status();
    json ports = json::array();
    for (const StatusBlock::Port& port : block.ports()) {
        json counters = json::object();
        for (const auto& [name, figure] : port.counters) {
            counters[name] = figure;
        }
        json row = {{"name", port.name},
                    {"board", port.identified() ? StatusBlock::boardName(port.board)
                                                : std::string("unidentified")},
                    {"identified", port.identified()},
                    {"lowLatency", port.lowLatency},
                    {"counters", counters}};
        auto heard = heard_.find(boardName(boardOfId(port.board)));
        if (port.identified() && heard != heard_.end()) {
            row["lastHeardMs"] =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - heard->second).count();
        }
        ports.push_back(row);
    }
    json benchd = nullptr;
    if (block.complete()) {
        benchd = {{"version", block.version()},
                  {"uptime", block.uptime()},
                  {"uptimeText", StatusBlock::duration(block.uptime())},
                  {"client", block.client()},
                  {"observers", block.observers()},
                  {"setpoint", block.standSetpoint()},
                  {"refused", block.refused()}};
    }
    return {{"bench", bench_},
            {"link", linkJson()},
            {"benchd", benchd},
            {"ports", ports},
            {"speed", speedJson()},
            {"monitorDropped", top_.dropped()},
            {"monitorError", top_.lastError()},
            {"viewers", {{"count", viewers_}, {"max", maxViewers_}, {"lostEvents", lostEvents_}}}};
}

json WebModel::values(bool fullCharts) const {
    json boards = boardsJson();
    for (json& board : boards) {
        board["values"] = json::array();
    }
    std::vector<std::pair<std::size_t, std::string>> keys;
    for (const auto& [key, pace] : paces_) {
        keys.emplace_back(orderOf(key), key);
    }
    std::sort(keys.begin(), keys.end());
    for (const auto& entry : keys) {
        json value = valueJson(entry.second);
        for (json& board : boards) {
            if (board["board"] == value["board"]) {
                board["values"].push_back(value);
            }
        }
    }
    json charts = json::array();
    for (const auto& [key, points] : top_.charts()) {
        charts.push_back(chartJson(key, fullCharts));
    }
    return {{"boards", boards}, {"speed", speedJson()}, {"charts", charts}};
}

WebModel::Event WebModel::snapshot(Clock::time_point now) const {
    return {"state",
            dump({{"status", status(now)}, {"values", values(false)}, {"link", linkJson()}})};
}
