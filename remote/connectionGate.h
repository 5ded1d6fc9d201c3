#pragma once
// Where the phone remote's connections wait while they have nothing to say. A connection holds
// a worker thread only while one of its requests is read and answered; before its first bytes,
// and between two requests of a kept connection, it waits in the gate's epoll set, which the
// idle workers wait on themselves: the bytes of a request wake the one worker that serves it,
// with no thread in between. So a thousand silent or half-open connections hold no worker, a
// page's request finds one, and a flood costs one wake-up per request.
// Waiting is bounded too: a connection must speak within a time-out, and one address (and all
// of them together) keeps only so many waiting; a newcomer beyond that ends the oldest silent
// one, so a phone's new connection always gets in. One address holds only a share of the
// workers; when a connection of it is ready and its share is taken, a worker of it that has
// waited for the rest of its request for a moment (a half-open or slow connection) is ended,
// so the phone's page does not wait for that connection's time-out.
//
// Threading: admit from any thread (the listener's); serve runs on the gate's workers; stop
// and the destructor on the owner's thread, once nothing calls admit any more.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
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
    // Steady clock, ns, while a worker waits for more of the request (waitForBytes); else 0.
    std::atomic<int64_t> waitingSinceNs{0};
    bool registered = false;  // in the gate's epoll set (armed or not)

    GateConnection() = default;
    ~GateConnection();
    GateConnection(const GateConnection&) = delete;
    GateConnection& operator=(const GateConnection&) = delete;
    bool hasPending() const { return pendingAt < pending.size(); }
};

// From inside serve: waits up to timeoutMs for the connection to become readable; false when
// it did not. The gate may end a connection that waits here, to make room for a ready one of
// its address: the wait then returns at once and the read that follows finds the end.
bool waitForBytes(GateConnection& connection, int timeoutMs);

struct GateLimits {
    std::chrono::milliseconds firstBytes{2000};  // a new connection's first request begins
    std::chrono::milliseconds idle{5000};        // a kept connection's next request begins
    std::chrono::milliseconds request{5000};     // one request is read whole
    size_t waitingPerAddress = 16;
    size_t waiting = 256;
    size_t workers = 16;
    // Workers one address may hold at once, long streams (markLongLived) not counted.
    size_t busyPerAddress = 6;
    // A worker that has waited this long for the rest of a request gives way to a ready
    // connection of the same address when the address's share is taken.
    std::chrono::milliseconds stalled{25};
};

class ConnectionGate {
  public:
    // Reads and answers one request of the connection; true keeps it for another.
    using Serve = std::function<bool(GateConnection&)>;

    // Starts the workers and the time-out keeper. Without an epoll or eventfd (out of file
    // descriptors) every admitted socket is closed at once.
    ConnectionGate(const GateLimits& limits, Serve serve);
    ~ConnectionGate();  // stops
    ConnectionGate(const ConnectionGate&) = delete;
    ConnectionGate& operator=(const ConnectionGate&) = delete;

    // Takes an accepted socket; it is served once it has something to say, or closed.
    void admit(int fd);
    // Closes every waiting connection, ends the reading of requests being read, and waits for
    // the workers to finish the answers they are writing (each bounded by its socket's
    // time-outs). Admit closes sockets from then on.
    void stop();

    // From inside serve: the request has become a long stream (server-sent events), so it no
    // longer counts against its address's share of the workers. Elsewhere it does nothing.
    static void markLongLived();

  private:
    struct Held {
        std::unique_ptr<GateConnection> connection;
        uint64_t id = 0;
        int64_t deadlineNs = 0;  // silent ones are closed then
        bool ready = false;      // it has bytes; waiting for its address's share of workers
    };
    struct Serving {
        GateConnection* connection = nullptr;
        bool counted = true;  // against its address's share
        bool ended = false;   // cut short to make room
    };

    // The worker's gate and place in it, for markLongLived.
    struct Current {
        ConnectionGate* gate = nullptr;
        bool* counted = nullptr;
        const std::string* address = nullptr;
    };
    static thread_local Current current_;

    void keepTime();
    void work();
    // Under mutex_: adds a connection (ready when it already holds bytes of its next request),
    // making room first; it is closed when it cannot be watched.
    void holdLocked(std::unique_ptr<GateConnection> connection, int64_t deadlineNs);
    void dropLocked(std::list<Held>::iterator held);
    // Under mutex_: the newest ready connection whose address has a worker to spare.
    std::list<Held>::iterator nextReadyLocked();
    bool hasShareLocked(const std::string& address) const;
    // Under mutex_: ends stalled requests of addresses whose ready connections wait for a
    // share; returns when to look again (steady ns), or max when nothing waits.
    int64_t makeWayLocked(int64_t now);
    void nudgeWorkers() const;

    const GateLimits limits_;
    const Serve serve_;
    int epoll_ = -1;
    int wake_ = -1;  // in the epoll set: readable on a nudge, and for good once stopping

    std::mutex mutex_;
    std::condition_variable timeChanged_;
    std::list<Held> held_;  // oldest first
    std::unordered_map<uint64_t, std::list<Held>::iterator> byId_;
    size_t readyCount_ = 0;
    std::list<Serving> serving_;
    std::map<std::string, size_t> busy_;
    uint64_t nextId_ = 1;
    int64_t keeperWakeNs_ = 0;  // when the time-out keeper looks next (steady clock)
    bool stopping_ = false;

    std::thread keeper_;
    std::vector<std::thread> workers_;
};

}  // namespace una::remote
