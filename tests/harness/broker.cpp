#include "broker.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "loopback.h"
#include "process.h"

namespace harness {

namespace {

constexpr const char* MOSQUITTO = "/usr/sbin/mosquitto";
constexpr const char* MOSQUITTO_PASSWD = "/usr/bin/mosquitto_passwd";
constexpr const char* OPENSSL = "/usr/bin/openssl";

}  // namespace

Broker::Broker(std::vector<std::pair<std::string, std::string>> users, const std::string& tlsName) {
    char path[] = "/tmp/benchd-broker-XXXXXX";
    if (::mkdtemp(path) == nullptr) {
        throw std::runtime_error("no temporary directory for the broker");
    }
    dir_ = path;
    const std::string passwords = dir_ + "/passwords";
    for (const auto& [name, password] : users) {
        const std::string command = std::string(MOSQUITTO_PASSWD) + " -b " +
                                    (std::filesystem::exists(passwords) ? "" : "-c ") + passwords +
                                    " '" + name + "' '" + password + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("mosquitto_passwd failed");
        }
    }
    if (!tlsName.empty()) {
        const std::string ca = dir_ + "/ca";
        const std::string server = dir_ + "/server";
        const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
        const std::string commands[] = {
            std::string(OPENSSL) + " req -x509" + key + "-keyout " + ca + ".key -out " + ca +
                ".crt -days 2 -subj '/CN=bench test authority'",
            std::string(OPENSSL) + " req" + key + "-keyout " + server + ".key -out " + server +
                ".csr -subj '/CN=" + tlsName + "'",
            "printf 'subjectAltName=DNS:" + tlsName + "\\n' > " + server + ".ext",
            std::string(OPENSSL) + " x509 -req -in " + server + ".csr -CA " + ca + ".crt -CAkey " +
                ca + ".key -CAcreateserial -out " + server + ".crt -days 2 -extfile " + server +
                ".ext"};
        for (const std::string& command : commands) {
            if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
                throw std::runtime_error("cannot make the broker's certificate: " + command);
            }
        }
        listenerSettings_ =
            "cafile " + ca + ".crt\ncertfile " + server + ".crt\nkeyfile " + server + ".key\n";
    }
    std::ofstream config(dir_ + "/mosquitto.conf.in");
    config << "allow_anonymous " << (users.empty() ? "true" : "false") << "\n"
           << "persistence false\n"
           << "log_dest file " << dir_ << "/log\n"
           << "log_type error\nlog_type warning\nlog_type notice\n";
    if (!users.empty()) {
        config << "password_file " << passwords << "\n";
    }
    if (::geteuid() == 0) {
        config << "user root\n";  // otherwise it would drop to a user that cannot read dir_
    }
    config.close();
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOn(freePort())) {
            return;
        }
    }
    throw std::runtime_error("mosquitto did not start (see " + dir_ + "/log)");
}

Broker::~Broker() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

bool Broker::startOn(uint16_t port) {
    port_ = port;
    {
        std::ifstream in(dir_ + "/mosquitto.conf.in");
        std::ofstream out(dir_ + "/mosquitto.conf");
        out << in.rdbuf() << "listener " << port << " 127.0.0.1\n" << listenerSettings_;
    }
    const std::string config = dir_ + "/mosquitto.conf";
    pid_ = ::fork();
    if (pid_ == 0) {
        {
            const std::string log = dir_ + "/output";
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (out >= 0) {
                ::dup2(out, 1);
                ::dup2(out, 2);
            }
        }
        ::execl(MOSQUITTO, MOSQUITTO, "-c", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid_ < 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts(port)) {
            return true;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // the port was taken, most likely
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    stop();
    return false;
}

bool Broker::start() {
    return pid_ < 0 && startOn(port_);
}

void Broker::stop() {
    stopChild(pid_, SIGTERM);
}

Subscriber::Subscriber(uint16_t port, const std::string& filter, const std::string& user,
                       const std::string& password)
    : filter_(filter) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    if (client_ == nullptr) {
        throw std::runtime_error("mosquitto_new failed");
    }
    if (!user.empty()) {
        mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
    }
    mosquitto_connect_callback_set(client_, connected);
    mosquitto_message_callback_set(client_, received);
    mosquitto_reconnect_delay_set(client_, 1, 2, false);
    mosquitto_connect_async(client_, "127.0.0.1", port, 10);
    mosquitto_loop_start(client_);
}

Subscriber::~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

void Subscriber::connected(mosquitto* client, void* self, int rc) {
    if (rc == 0) {
        mosquitto_subscribe(client, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
    }
}

void Subscriber::received(mosquitto*, void* self, const mosquitto_message* message) {
    auto* subscriber = static_cast<Subscriber*>(self);
    std::lock_guard<std::mutex> lock(subscriber->mutex_);
    subscriber->messages_[message->topic].push_back(
        {std::string(static_cast<const char*>(message->payload),
                     static_cast<std::size_t>(message->payloadlen)),
         message->retain});
    ++subscriber->total_;
}

std::vector<Subscriber::Message> Subscriber::on(const std::string& topic) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = messages_.find(topic);
    return found == messages_.end() ? std::vector<Message>{} : found->second;
}

std::map<std::string, std::vector<Subscriber::Message>> Subscriber::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::size_t Subscriber::total() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return total_;
}

bool Subscriber::waitUntil(
    const std::function<bool(const std::map<std::string, std::vector<Message>>&)>& pred,
    std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pred(messages_)) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool Subscriber::waitForLatest(const std::string& topic, const std::string& payload,
                               std::chrono::milliseconds timeout) const {
    return waitUntil(
        [&](const std::map<std::string, std::vector<Message>>& all) {
            auto found = all.find(topic);
            return found != all.end() && !found->second.empty() &&
                   found->second.back().payload == payload;
        },
        timeout);
}

}  // namespace harness
