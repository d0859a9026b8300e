#include "topcommand.h"

#include <curses.h>
#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstring>

#include "monitorlink.h"
#include "topmodel.h"
#include "topscreen.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds DRAW_EVERY{250};

void draw(const TopModel& model, bool braille) {
    int height = 0;
    int width = 0;
    getmaxyx(stdscr, height, width);
    erase();
    std::vector<std::string> lines = TopScreen::compose(model, width, height, braille);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        mvaddstr(static_cast<int>(i), 0, lines[i].c_str());
    }
    refresh();
}

}  // namespace

int TopCommand::run(const CtlConfig& config, const std::atomic<bool>& stop) {
    std::setlocale(LC_ALL, "");
    const bool braille = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        std::fprintf(stderr, "benchctl: top needs a terminal; try monitor\n");
        return 1;
    }
    initscr();
    cbreak();
    noecho();
    nodelay(stdscr, TRUE);
    keypad(stdscr, TRUE);
    curs_set(0);

    const std::string where = config.host + ":" + std::to_string(config.port);
    TopModel model;
    MonitorLink link(config.host, config.port);
    bool dirty = true;
    auto lastDraw = Clock::now() - DRAW_EVERY;

    auto lose = [&](const std::string& reason) {
        link.lose();
        model.disconnected(reason);
        dirty = true;
    };

    while (!stop.load()) {
        auto now = Clock::now();
        std::string error;
        switch (link.tryConnect(now, error)) {
            case MonitorLink::Attempt::CONNECTED:
                model.connected(where);
                dirty = true;
                break;
            case MonitorLink::Attempt::FAILED:
                model.disconnected(error);
                dirty = true;
                break;
            case MonitorLink::Attempt::NONE:
                break;
        }
        if (link.statusDue(now) && !link.send("status;")) {
            lose("cannot send");
        }

        auto until = link.nextWork();
        if (dirty) {
            until = std::min(until, lastDraw + DRAW_EVERY);
        }
        auto wait = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
        const bool up = link.up();
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {link.fd(), POLLIN, 0}};
        ::poll(fds, up ? 2 : 1, static_cast<int>(std::clamp<long long>(wait, 0, 250)));

        if (up && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            std::string reason;
            if (!link.read(reason)) {
                lose(reason);
            }
            std::string message;
            while (link.next(message)) {
                model.onMessage(message);
                dirty = true;
            }
        }

        for (int key = getch(); key != ERR; key = getch()) {
            if (key == 'q' || key == 'Q') {
                endwin();
                return 0;
            }
            if (key == KEY_RESIZE) {
                dirty = true;
            }
        }
        if (dirty && Clock::now() - lastDraw >= DRAW_EVERY) {
            draw(model, braille);
            lastDraw = Clock::now();
            dirty = false;
        }
    }
    endwin();
    return 0;
}
