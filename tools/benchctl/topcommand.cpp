#include "topcommand.h"

#include <curses.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstring>

#include "backoff.h"
#include "clientconnection.h"
#include "messagestream.h"
#include "monitorfilter.h"
#include "topmodel.h"
#include "topscreen.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds DRAW_EVERY{250};
constexpr milliseconds STATUS_EVERY{1000};
// Bytes read in one pass before the screen gets its turn, so that a flood cannot starve it.
constexpr std::size_t READ_PER_PASS = 4 * 1024 * 1024;

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
    ClientConnection connection;
    MessageStream stream;
    Backoff backoff;
    bool up = false;
    bool dirty = true;
    auto nextAttempt = Clock::now();
    auto nextStatus = Clock::now();
    auto lastDraw = Clock::now() - DRAW_EVERY;

    auto lose = [&](const std::string& reason) {
        connection.close();
        up = false;
        model.disconnected(reason);
        nextAttempt = Clock::now() + backoff.next();
        dirty = true;
    };

    while (!stop.load()) {
        auto now = Clock::now();
        if (!up && now >= nextAttempt) {
            std::string error;
            if (connection.connect(config.host, config.port, milliseconds(0), error)) {
                up = true;
                stream = MessageStream();
                model.connected(where);
                nextStatus = now;
            } else {
                model.disconnected(error);
                nextAttempt = now + backoff.next();
            }
            dirty = true;
        }
        if (up && now >= nextStatus) {
            if (!connection.sendAll("status;")) {
                lose("cannot send");
            }
            nextStatus = now + STATUS_EVERY;
        }

        auto until = up ? nextStatus : nextAttempt;
        if (dirty) {
            until = std::min(until, lastDraw + DRAW_EVERY);
        }
        auto wait = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {connection.fd(), POLLIN, 0}};
        ::poll(fds, up ? 2 : 1, static_cast<int>(std::clamp<long long>(wait, 0, 250)));

        if (up && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            std::string reason;
            if (!stream.feedFrom(connection.fd(), READ_PER_PASS, reason)) {
                lose(reason);
            }
            std::string message;
            while (stream.next(message)) {
                model.onMessage(message);
                if (!MonitorFilter::isNotice(message)) {
                    backoff.reset();
                }
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
