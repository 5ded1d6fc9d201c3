#pragma once
// Where the phone remote's connections wait while they have nothing to say. A connection holds
// a worker thread only while one of its requests is read and answered; before its first bytes,
// and between two requests of a kept connection, it waits on the gate's one epoll thread. So a
// thousand silent or half-open connections hold no worker, and a page's request finds one.
// Waiting is bounded too: a connection must speak within a time-out, and one address (and all
// of them together) keeps only so many waiting; a newcomer beyond that ends the oldest silent
// one, so a phone's new connection always gets in. A slow client holds its worker for one
// request's time-out at most, and one address holds only a share of the workers.
//
// Threading: admit from any thread (the listener's); serve runs on the gate's workers; stop
// and the destructor on the owner's thread, once nothing calls admit any more.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace una::remote {

// One client's socket, owned by the gate (closed when it is dropped).
struct GateConnection {
    int fd = -1;
    std::string address;  // the peer's numeric address; "" when unknown
    int port = 0;
    // Bytes read from the socket and not yet taken by a request (from pendingAt on).
    std::string pending;
    size_t pendingAt = 0;
    // Steady clock, ns: reading the current request must be done by then.
    int64_t readDeadlineNs = 0;
    uint32_t requests = 0;  // begun on this connection so far

    GateConnection() = default;
    ~GateConnection();
    GateConnection(const GateConnection&) = delete;
    GateConnection& operator=(const GateConnection&) = delete;
    bool hasPending() const { return pendingAt < pending.size(); }
};

struct GateLimits {
    std::chrono::milliseconds firstBytes{2000};  // a new connection's first request begins
    std::chrono::milliseconds idle{5000};        // a kept connection's next request begins
    std::chrono::milliseconds request{5000};     // one request is read whole
    size_t waitingPerAddress = 16;
    size_t waiting = 256;
    size_t workers = 16;
    // Workers one address may hold at once, long streams (markLongLived) not counted.
    size_t busyPerAddress = 6;
};

class ConnectionGate {
  public:
    // Reads and answers one request of the connection; true keeps it for another.
    using Serve = std::function<bool(GateConnection&)>;

    // Starts the epoll thread and the workers. Without an epoll or eventfd (out of file
    // descriptors) every admitted socket is closed at once.
    ConnectionGate(const GateLimits& limits, Serve serve);
    ~ConnectionGate();  // stops
    ConnectionGate(const ConnectionGate&) = delete;
    ConnectionGate& operator=(const ConnectionGate&) = delete;

    // Takes an accepted socket; it is served once it has something to say, or closed.
    void admit(int fd);
    // Closes every waiting connection and waits for the workers to finish the requests they
    // are on (each bounded by its socket's time-outs). Admit closes sockets from then on.
    void stop();

    // From inside serve: the request has become a long stream (server-sent events), so it no
    // longer counts against its address's share of the workers. Elsewhere it does nothing.
    static void markLongLived();

  private:
    struct Held {
        std::unique_ptr<GateConnection> connection;
        uint64_t id = 0;
        int64_t deadlineNs = 0;  // silent ones are closed then
        bool ready = false;      // it has bytes; waiting for a worker
    };

    void watch();
    void work();
    // Under mutex_: adds a connection (ready when it already holds bytes of its next request),
    // making room first.
    void holdLocked(std::unique_ptr<GateConnection> connection, int64_t deadlineNs);
    void dropLocked(std::list<Held>::iterator held);
    void wakeWatcher() const;

    const GateLimits limits_;
    const Serve serve_;
    int epoll_ = -1;
    int wake_ = -1;

    std::mutex mutex_;
    std::condition_variable readyChanged_;
    std::list<Held> held_;  // oldest first
    std::map<std::string, size_t> busy_;
    uint64_t nextId_ = 1;
    // When the watcher wakes by itself next (steady clock); at first it sleeps until woken.
    int64_t watcherWakeNs_ = std::numeric_limits<int64_t>::max();
    bool stopping_ = false;

    std::thread watcher_;
    std::vector<std::thread> workers_;
};

}  // namespace una::remote
