#include "remote/connectionGate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace una::remote {

namespace {

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The watcher wakes at least this often, so a deadline is never missed for long.
constexpr int kLongestSleepMs = 60'000;

int64_t ns(std::chrono::milliseconds span) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
}

// The worker's current connection, for markLongLived.
struct Current {
    std::mutex* mutex = nullptr;
    std::map<std::string, size_t>* busy = nullptr;
    std::condition_variable* changed = nullptr;
    const std::string* address = nullptr;
    bool counted = false;
};
thread_local Current current;

void release(std::map<std::string, size_t>& busy, const std::string& address) {
    const auto at = busy.find(address);
    if (at != busy.end() && --at->second == 0)
        busy.erase(at);
}

}  // namespace

GateConnection::~GateConnection() {
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

ConnectionGate::ConnectionGate(const GateLimits& limits, Serve serve)
    : limits_(limits), serve_(std::move(serve)) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_ >= 0 && wake_ >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = 0;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    } else {
        stopping_ = true;
        return;
    }
    watcher_ = std::thread([this] { watch(); });
    for (size_t i = 0; i < limits_.workers; ++i)
        workers_.emplace_back([this] { work(); });
}

ConnectionGate::~ConnectionGate() {
    stop();
    if (epoll_ >= 0)
        ::close(epoll_);
    if (wake_ >= 0)
        ::close(wake_);
}

void ConnectionGate::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wakeWatcher();
    readyChanged_.notify_all();
    if (watcher_.joinable())
        watcher_.join();
    for (std::thread& worker : workers_)
        worker.join();
    workers_.clear();
    std::lock_guard lock(mutex_);
    while (!held_.empty())
        dropLocked(held_.begin());
}

void ConnectionGate::wakeWatcher() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

void ConnectionGate::admit(int fd) {
    auto connection = std::make_unique<GateConnection>();
    connection->fd = fd;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
        char text[INET6_ADDRSTRLEN] = {};
        if (peer.ss_family == AF_INET) {
            const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
            ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
            connection->port = ntohs(in.sin_port);
        } else if (peer.ss_family == AF_INET6) {
            const auto& in = reinterpret_cast<const sockaddr_in6&>(peer);
            ::inet_ntop(AF_INET6, &in.sin6_addr, text, sizeof text);
            connection->port = ntohs(in.sin6_port);
        }
        connection->address = text;
    }
    // Headers and body go out in two writes: without this a kept connection waits for the
    // peer's delayed acknowledgement, 40 ms on every answer.
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;  // the connection closes its socket
        holdLocked(std::move(connection), nowNs() + ns(limits_.firstBytes));
    }
}

void ConnectionGate::holdLocked(std::unique_ptr<GateConnection> connection, int64_t deadlineNs) {
    // Room first: the oldest silent one from the same address, else its oldest; then the same
    // among all addresses.
    auto makeRoom = [&](size_t limit, bool sameAddress) {
        size_t count = 0;
        auto oldest = held_.end(), oldestSilent = held_.end();
        for (auto it = held_.begin(); it != held_.end(); ++it) {
            if (sameAddress && it->connection->address != connection->address)
                continue;
            ++count;
            if (oldest == held_.end())
                oldest = it;
            if (!it->ready && oldestSilent == held_.end())
                oldestSilent = it;
        }
        if (count >= limit && oldest != held_.end())
            dropLocked(oldestSilent != held_.end() ? oldestSilent : oldest);
    };
    makeRoom(std::max<size_t>(limits_.waitingPerAddress, 1), true);
    makeRoom(std::max<size_t>(limits_.waiting, 1), false);

    Held held;
    held.id = nextId_++;
    held.deadlineNs = deadlineNs;
    held.ready = connection->hasPending();
    held.connection = std::move(connection);
    if (!held.ready) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.u64 = held.id;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, held.connection->fd, &event) != 0)
            return;  // closed
    }
    const bool ready = held.ready;
    held_.push_back(std::move(held));
    if (ready)
        readyChanged_.notify_one();
    else if (deadlineNs < watcherWakeNs_)
        wakeWatcher();  // its deadline comes before the one the watcher sleeps towards
}

void ConnectionGate::dropLocked(std::list<Held>::iterator held) {
    if (!held->ready)
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, held->connection->fd, nullptr);
    held_.erase(held);
}

void ConnectionGate::watch() {
    epoll_event events[64];
    int timeoutMs = -1;
    for (;;) {
        const int count = ::epoll_wait(epoll_, events, 64, timeoutMs);
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        size_t madeReady = 0;
        for (int i = 0; i < count; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == 0) {
                uint64_t drained;
                [[maybe_unused]] const ssize_t got = ::read(wake_, &drained, sizeof drained);
                continue;
            }
            const auto held = std::find_if(held_.begin(), held_.end(),
                                           [id](const Held& h) { return h.id == id; });
            if (held == held_.end() || held->ready)
                continue;
            // Bytes, or the peer's close: either way a worker finds out which.
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, held->connection->fd, nullptr);
            held->ready = true;
            ++madeReady;
        }
        const int64_t now = nowNs();
        int64_t next = std::numeric_limits<int64_t>::max();
        for (auto it = held_.begin(); it != held_.end();) {
            if (!it->ready && it->deadlineNs <= now) {
                dropLocked(it++);
                continue;
            }
            if (!it->ready)
                next = std::min(next, it->deadlineNs);
            ++it;
        }
        timeoutMs = static_cast<int>(
            std::min<int64_t>((next - now) / 1'000'000 + 1, kLongestSleepMs));
        watcherWakeNs_ = now + int64_t{timeoutMs} * 1'000'000;
        for (size_t i = 0; i < madeReady; ++i)
            readyChanged_.notify_one();
    }
}

void ConnectionGate::work() {
    for (;;) {
        std::unique_ptr<GateConnection> connection;
        {
            std::unique_lock lock(mutex_);
            auto next = held_.end();
            readyChanged_.wait(lock, [&] {
                if (stopping_)
                    return true;
                // The newest first: connections that began a request and stalled are older
                // than a page's fresh one, and the oldest are the first to be dropped anyway.
                for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
                    if (!it->ready)
                        continue;
                    const auto at = busy_.find(it->connection->address);
                    if (at == busy_.end() || at->second < limits_.busyPerAddress) {
                        next = std::prev(it.base());
                        return true;
                    }
                }
                return false;
            });
            if (stopping_)
                return;
            connection = std::move(next->connection);
            held_.erase(next);
            ++busy_[connection->address];
        }
        current = {&mutex_, &busy_, &readyChanged_, &connection->address, true};
        connection->readDeadlineNs = nowNs() + ns(limits_.request);
        const bool keep = serve_(*connection);
        std::lock_guard lock(mutex_);
        if (current.counted)
            release(busy_, connection->address);
        current = {};
        if (keep && !stopping_)
            holdLocked(std::move(connection), nowNs() + ns(limits_.idle));
        // The address's share is free again: a connection of it may be waiting for that.
        readyChanged_.notify_one();
    }
}

void ConnectionGate::markLongLived() {
    if (!current.mutex || !current.counted)
        return;
    {
        std::lock_guard lock(*current.mutex);
        release(*current.busy, *current.address);
        current.counted = false;
    }
    current.changed->notify_all();
}

}  // namespace una::remote
