#include "remote/connectionGate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace una::remote {

namespace {

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The time-out keeper looks at least this often. Every time-out is longer, so a connection
// parked after a request never needs to wake it.
constexpr int64_t kLongestSleepNs = 1'000'000'000;
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

int64_t ns(std::chrono::milliseconds span) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
}

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

bool waitForBytes(GateConnection& connection, int timeoutMs) {
    if (timeoutMs <= 0)
        return false;
    connection.waitingSinceNs = nowNs();
    pollfd entry{connection.fd, POLLIN, 0};
    int result;
    do
        result = ::poll(&entry, 1, timeoutMs);
    while (result < 0 && errno == EINTR);
    connection.waitingSinceNs = 0;
    return result == 1;
}

ConnectionGate::ConnectionGate(const GateLimits& limits, Serve serve)
    : limits_(limits), serve_(std::move(serve)) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = 0;
    if (epoll_ < 0 || wake_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) != 0) {
        stopping_ = true;
        return;
    }
    keeper_ = std::thread([this] { keepTime(); });
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
        // The requests still being read end here (their reads find the end of the connection),
        // so a half-open or slow client cannot hold the stop, and the window, for its time-out.
        // Answers being written go on.
        for (const Serving& serving : serving_)
            ::shutdown(serving.connection->fd, SHUT_RD);
    }
    // Never drained from now on: every worker in epoll_wait sees it.
    nudgeWorkers();
    timeChanged_.notify_all();
    if (keeper_.joinable())
        keeper_.join();
    for (std::thread& worker : workers_)
        worker.join();
    workers_.clear();
    std::lock_guard lock(mutex_);
    while (!held_.empty())
        dropLocked(held_.begin());
}

void ConnectionGate::nudgeWorkers() const {
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
    std::lock_guard lock(mutex_);
    if (stopping_)
        return;  // the connection closes its socket
    holdLocked(std::move(connection), nowNs() + ns(limits_.firstBytes));
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
        // One shot: the bytes wake one worker, and the socket stays quiet until parked again.
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
        event.data.u64 = held.id;
        GateConnection& c = *held.connection;
        if (::epoll_ctl(epoll_, c.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &event) != 0)
            return;  // closed
        c.registered = true;
    } else {
        ++readyCount_;  // the worker that parked it looks for ready ones next
    }
    const bool early = !held.ready && deadlineNs < keeperWakeNs_;
    held_.push_back(std::move(held));
    byId_.emplace(held_.back().id, std::prev(held_.end()));
    if (early)
        timeChanged_.notify_one();
}

void ConnectionGate::dropLocked(std::list<Held>::iterator held) {
    // Closing the socket takes it out of the epoll set.
    if (held->ready)
        --readyCount_;
    byId_.erase(held->id);
    held_.erase(held);
}

bool ConnectionGate::hasShareLocked(const std::string& address) const {
    const auto at = busy_.find(address);
    return at == busy_.end() || at->second < limits_.busyPerAddress;
}

std::list<ConnectionGate::Held>::iterator ConnectionGate::nextReadyLocked() {
    if (readyCount_ == 0)
        return held_.end();
    // The newest first: connections that began a request and stalled are older than a page's
    // fresh one, and the oldest are the first to be dropped anyway.
    for (auto it = held_.rbegin(); it != held_.rend(); ++it)
        if (it->ready && hasShareLocked(it->connection->address))
            return std::prev(it.base());
    return held_.end();
}

int64_t ConnectionGate::makeWayLocked(int64_t now) {
    if (readyCount_ == 0)
        return kNever;
    std::map<std::string, size_t> waiting;  // ready connections per address without a share
    for (const Held& held : held_)
        if (held.ready && !hasShareLocked(held.connection->address))
            ++waiting[held.connection->address];
    if (waiting.empty())
        return kNever;
    const int64_t grace = ns(limits_.stalled);
    int64_t next = now + grace;  // the busy ones may be answering: look again soon
    for (auto& [address, count] : waiting) {
        // Their longest-stalled requests give way, one for each waiting connection.
        std::vector<std::pair<int64_t, Serving*>> stalled;
        for (Serving& serving : serving_) {
            const int64_t since = serving.connection->waitingSinceNs;
            if (serving.counted && !serving.ended && since != 0 &&
                serving.connection->address == address)
                stalled.emplace_back(since, &serving);
        }
        std::sort(stalled.begin(), stalled.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& [since, serving] : stalled) {
            if (since + grace > now) {
                next = std::min(next, since + grace);
                break;
            }
            if (count == 0)
                break;
            --count;
            serving->ended = true;
            ::shutdown(serving->connection->fd, SHUT_RDWR);
        }
    }
    return next;
}

void ConnectionGate::keepTime() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const int64_t now = nowNs();
        int64_t next = now + kLongestSleepNs;
        for (auto it = held_.begin(); it != held_.end();) {
            if (!it->ready && it->deadlineNs <= now) {
                dropLocked(it++);
                continue;
            }
            if (!it->ready)
                next = std::min(next, it->deadlineNs);
            ++it;
        }
        next = std::min(next, makeWayLocked(now));
        keeperWakeNs_ = next;
        timeChanged_.wait_until(lock, std::chrono::steady_clock::time_point(
                                          std::chrono::nanoseconds(next)));
    }
}

void ConnectionGate::work() {
    epoll_event event{};
    for (;;) {
        std::unique_ptr<GateConnection> connection;
        std::list<Serving>::iterator serving;
        // Under mutex_: the held connection becomes this worker's.
        auto take = [&](std::list<Held>::iterator held) {
            connection = std::move(held->connection);
            dropLocked(held);
            ++busy_[connection->address];
            serving = serving_.insert(serving_.end(), Serving{connection.get()});
        };
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            if (const auto next = nextReadyLocked(); next != held_.end())
                take(next);
        }
        if (!connection) {
            if (::epoll_wait(epoll_, &event, 1, -1) != 1)
                continue;
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            if (event.data.u64 == 0) {
                uint64_t drained;
                [[maybe_unused]] const ssize_t got = ::read(wake_, &drained, sizeof drained);
                continue;
            }
            const auto found = byId_.find(event.data.u64);
            if (found == byId_.end() || found->second->ready)
                continue;  // dropped meanwhile
            const auto held = found->second;
            if (!hasShareLocked(held->connection->address)) {
                // Bytes, or the peer's close: a worker of its address finds out which.
                held->ready = true;
                ++readyCount_;
                const int64_t look = makeWayLocked(nowNs());
                if (look < keeperWakeNs_)
                    timeChanged_.notify_one();
                continue;
            }
            take(held);
        }
        current_ = {this, &serving->counted, &connection->address};
        connection->readDeadlineNs = nowNs() + ns(limits_.request);
        const bool keep = serve_(*connection);
        current_ = {};
        std::lock_guard lock(mutex_);
        if (serving->counted)
            release(busy_, connection->address);
        const bool ended = serving->ended;
        serving_.erase(serving);
        if (keep && !ended && !stopping_)
            holdLocked(std::move(connection), nowNs() + ns(limits_.idle));
        // The address's share is free again: this worker looks for a ready one of it first.
    }
}

thread_local ConnectionGate::Current ConnectionGate::current_;

void ConnectionGate::markLongLived() {
    ConnectionGate* gate = current_.gate;
    if (!gate || !*current_.counted)
        return;
    std::lock_guard lock(gate->mutex_);
    release(gate->busy_, *current_.address);
    *current_.counted = false;
    // A ready connection of the address may wait for that share.
    if (gate->readyCount_ > 0)
        gate->nudgeWorkers();
}

}  // namespace una::remote
