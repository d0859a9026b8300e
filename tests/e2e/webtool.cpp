#include "webtool.h"

#include <fstream>
#include <regex>

using namespace testing_support;

namespace web_e2e {

WebTool::WebTool(uint16_t monitorPort, const std::vector<std::string>& extra) {
    std::vector<std::string> argv{
        std::string(BENCHD_TOOLS_DIR) + "/benchctl", "web", "--listen", "127.0.0.1:0", "--monitor",
        "127.0.0.1:" + std::to_string(monitorPort)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process = std::make_unique<Process>(argv);
    if (!process->waitForOut("(watching benchd", 20s)) {
        return;
    }
    std::smatch match;
    const std::string out = process->out();
    if (std::regex_search(out, match, std::regex("http://127\\.0\\.0\\.1:([0-9]+)/"))) {
        port = static_cast<uint16_t>(std::stoi(match[1]));
    }
}

std::vector<SseEvent> parseEvents(const std::string& body) {
    std::vector<SseEvent> events;
    std::size_t at = 0;
    for (std::size_t end; (end = body.find("\n\n", at)) != std::string::npos; at = end + 2) {
        SseEvent event;
        std::size_t line = at;
        while (line < end) {
            std::size_t stop = body.find('\n', line);
            stop = stop > end ? end : stop;
            const std::string text = body.substr(line, stop - line);
            if (text.compare(0, 7, "event: ") == 0) {
                event.name = text.substr(7);
            } else if (text.compare(0, 6, "data: ") == 0) {
                event.data += text.substr(6);
            }
            line = stop + 1;
        }
        if (!event.name.empty()) {
            events.push_back(event);
        }
    }
    return events;
}

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

}  // namespace web_e2e
