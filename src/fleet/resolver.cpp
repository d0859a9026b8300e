#include "fleet/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>

// One lookup's request and answer, owned by two: the Resolver, and glibc's notification that
// runs once the lookup has finished. The last of the two to let go frees it, so that a lookup
// abandoned while glibc still works on it is freed when glibc is done with it.
struct Lookup {
    std::string host;
    addrinfo hints{};
    gaicb request{};
    std::atomic<int> owners{2};
};

namespace {

void release(Lookup* lookup) {
    if (lookup->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (lookup->request.ar_result != nullptr) {
            ::freeaddrinfo(lookup->request.ar_result);
        }
        delete lookup;
    }
}

// On glibc's notification thread, once the lookup finished (never for one cancelled).
void finished(sigval value) {
    release(static_cast<Lookup*>(value.sival_ptr));
}

}  // namespace

Resolver::~Resolver() {
    abandon();
}

void Resolver::abandon() {
    if (lookup_ == nullptr) {
        return;
    }
    gaicb* request = &lookup_->request;
    if (::gai_cancel(request) == EAI_CANCELED) {
        // Taken off glibc's queue before it started: no notification will come.
        release(lookup_);
    }
    release(lookup_);
    lookup_ = nullptr;
    if (state_ == State::PENDING) {
        state_ = State::IDLE;
    }
}

Resolver::State Resolver::start(const std::string& host) {
    abandon();
    addresses_.clear();
    error_.clear();
    auto* lookup = new Lookup;
    lookup->host = host;
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_request = &lookup->hints;
    sigevent notification{};
    notification.sigev_notify = SIGEV_THREAD;
    notification.sigev_notify_function = finished;
    notification.sigev_value.sival_ptr = lookup;
    gaicb* list[1] = {&lookup->request};
    const int rc = ::getaddrinfo_a(GAI_NOWAIT, list, 1, &notification);
    if (rc != 0) {
        delete lookup;
        error_ = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
        state_ = State::FAILED;
        return state_;
    }
    lookup_ = lookup;
    state_ = State::PENDING;
    return state_;
}

Resolver::State Resolver::poll() {
    if (state_ != State::PENDING) {
        return state_;
    }
    const int rc = ::gai_error(&lookup_->request);
    if (rc == EAI_INPROGRESS) {
        return state_;
    }
    if (rc != 0) {
        error_ = rc == EAI_SYSTEM ? "the lookup failed" : ::gai_strerror(rc);
        state_ = State::FAILED;
    } else {
        for (const addrinfo* info = lookup_->request.ar_result; info != nullptr;
             info = info->ai_next) {
            char text[INET6_ADDRSTRLEN] = {};
            const void* address = nullptr;
            if (info->ai_family == AF_INET) {
                address = &reinterpret_cast<const sockaddr_in*>(info->ai_addr)->sin_addr;
            } else if (info->ai_family == AF_INET6) {
                address = &reinterpret_cast<const sockaddr_in6*>(info->ai_addr)->sin6_addr;
            }
            if (address != nullptr &&
                ::inet_ntop(info->ai_family, address, text, sizeof text) != nullptr &&
                std::find(addresses_.begin(), addresses_.end(), text) == addresses_.end()) {
                addresses_.emplace_back(text);
            }
        }
        state_ = addresses_.empty() ? State::FAILED : State::DONE;
        if (addresses_.empty()) {
            error_ = "no IPv4 or IPv6 address";
        }
    }
    // The answer is copied out; the notification frees the rest.
    release(lookup_);
    lookup_ = nullptr;
    return state_;
}
