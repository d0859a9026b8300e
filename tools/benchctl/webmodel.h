// What `benchctl web` shows, built from the daemon's monitor messages (no sockets, no
// threads): TopModel holds the bench's state, this turns it into JSON for /api/status,
// /api/values and the page's first picture, and into the events that keep a page live. Values
// are coalesced to at most one event per key every VALUE_EVERY; charts, boards, status blocks
// and the state of the monitor connection go out as they come.
#pragma once

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "topmodel.h"

class WebModel {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds VALUE_EVERY{100};
    // Points of a chart sent to a page: enough for a plot across a screen, however long the
    // chart (min and max of each slice keep its peaks).
    static constexpr std::size_t CHART_POINTS = 1600;

    // One Server-Sent Event: its name and its data, one line of JSON.
    struct Event {
        std::string name;
        std::string data;
        // "event: NAME\ndata: DATA\n\n"
        std::string sse() const;
    };

    // `bench`: the host name shown as the bench's; `monitor`: the daemon's monitor address.
    WebModel(std::string bench, std::string monitor);

    // One message from the daemon, without its ";"; the events it makes now go to `out`.
    void onMessage(const std::string& message, Clock::time_point now, std::vector<Event>& out);
    // The coalesced values whose turn has come.
    void tick(Clock::time_point now, std::vector<Event>& out);
    // The monitor connection is up, or down (since `wallNow`, with a reason when one is known).
    void connected(std::vector<Event>& out);
    void disconnected(const std::string& reason, std::chrono::system_clock::time_point wallNow,
                      std::vector<Event>& out);
    // The page viewers served now and the events they lost, shown in the status.
    void setViewers(std::size_t viewers, std::size_t maxViewers, unsigned long lostEvents);

    // /api/status: the bench, the monitor link, benchd's status block with its ports, viewers.
    nlohmann::json status(Clock::time_point now) const;
    // /api/values: the latest value of every key grouped by board, the speed against its
    // set-point, and each chart (all its points when `fullCharts`).
    nlohmann::json values(bool fullCharts) const;
    // The event that sets a page from nothing: everything above at once.
    Event snapshot(Clock::time_point now) const;
    // Text of JSON whatever bytes the daemon sent (invalid UTF-8 is replaced).
    static std::string dump(const nlohmann::json& json);
    // At most `most` points of `values` that keep its shape: each slice's min and max in order.
    static std::vector<double> decimate(const std::vector<double>& values, std::size_t most);

    const TopModel& top() const { return top_; }

private:
    nlohmann::json valueJson(const std::string& key) const;
    nlohmann::json chartJson(const std::string& key, bool full) const;
    nlohmann::json boardsJson() const;
    nlohmann::json linkJson() const;
    nlohmann::json speedJson() const;

    struct Pace {
        Clock::time_point sent;
        bool pending = false;
    };

    std::string bench_, monitor_;
    TopModel top_;
    std::map<std::string, Pace> paces_;  // only keys that TopModel keeps
    // The last time a value of each board kind arrived, for the ports table.
    std::map<std::string, Clock::time_point> heard_;
    bool up_ = false;
    std::string since_, reason_;  // while down: "HH:MM:SS" local time, and why
    std::size_t viewers_ = 0, maxViewers_ = 0;
    unsigned long lostEvents_ = 0;
};
