#include "remote/gatedHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "remote/connectionGate.h"

namespace una::remote {

namespace {

// Between two bytes of a request, and for each write (a page that stopped reading).
constexpr int kReadTimeoutMs = 2000;
constexpr int kWriteTimeoutMs = 2000;
// A request's line, headers and body together: a browser's take a few KiB. Without a bound a
// client streaming header lines fast enough never met a deadline and grew the program's memory
// by megabytes a second, without any key.
constexpr size_t kMaxRequestBytes = 64 * 1024;

thread_local bool closeAfterAnswer_ = false;

int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool waitFor(int fd, short events, int timeoutMs) {
    if (timeoutMs <= 0)
        return false;
    pollfd entry{fd, events, 0};
    int result;
    do
        result = ::poll(&entry, 1, timeoutMs);
    while (result < 0 && errno == EINTR);
    return result == 1;
}

// A gate connection as the library's stream: reads go through the connection's own buffer (the
// library reads a request's lines a byte at a time), so bytes of a next request stay with the
// connection while it waits at the gate again; reading ends at the request's deadline. Reads
// and writes try the socket first and wait only when it has nothing or is full.
class GateStream final : public httplib::Stream {
  public:
    explicit GateStream(GateConnection& connection) : c_(connection) {}

    bool is_readable() const override {
        return c_.hasPending() || waitForBytes(c_, readBudgetMs());
    }
    bool is_writable() const override { return waitFor(c_.fd, POLLOUT, kWriteTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override {
        // The deadline holds for the whole request, also while its bytes keep coming.
        if (taken_ >= kMaxRequestBytes || steadyNs() >= c_.readDeadlineNs) {
            overrun_ = true;
            return -1;
        }
        if (!c_.hasPending()) {
            c_.pending.resize(4096);
            ssize_t got = ::recv(c_.fd, c_.pending.data(), c_.pending.size(), MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                got = waitForBytes(c_, readBudgetMs())
                          ? ::recv(c_.fd, c_.pending.data(), c_.pending.size(), MSG_DONTWAIT)
                          : -1;
            }
            c_.pending.resize(got > 0 ? size_t(got) : 0);
            c_.pendingAt = 0;
            if (got <= 0)
                return got < 0 ? -1 : 0;
        }
        const size_t n = std::min({size, c_.pending.size() - c_.pendingAt,
                                   kMaxRequestBytes - taken_});
        std::memcpy(ptr, c_.pending.data() + c_.pendingAt, n);
        c_.pendingAt += n;
        taken_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        ssize_t sent = ::send(c_.fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            waitFor(c_.fd, POLLOUT, kWriteTimeoutMs))
            sent = ::send(c_.fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        return sent;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = c_.address;
        port = c_.port;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        char text[INET6_ADDRSTRLEN] = {};
        port = 0;
        if (::getsockname(c_.fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
            local.ss_family == AF_INET) {
            const auto& in = reinterpret_cast<const sockaddr_in&>(local);
            ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
            port = ntohs(in.sin_port);
        }
        ip = text;
    }
    socket_t socket() const override { return c_.fd; }
    // The request was cut off: what is left of it must not be read as the next one.
    bool overrun() const { return overrun_; }

  private:
    int readBudgetMs() const {
        const int64_t left = (c_.readDeadlineNs - steadyNs()) / 1'000'000;
        return static_cast<int>(std::clamp<int64_t>(left, 0, kReadTimeoutMs));
    }
    GateConnection& c_;
    size_t taken_ = 0;
    bool overrun_ = false;
};

class RunAtOnce final : public httplib::TaskQueue {
  public:
    void enqueue(std::function<void()> task) override { task(); }
    void shutdown() override {}
};

}  // namespace

GatedServer::GatedServer() {
    new_task_queue = [] { return new RunAtOnce; };
}

bool GatedServer::serveOne(GateConnection& connection, bool last) {
    GateStream stream(connection);
    bool closed = false;
    closeAfterAnswer_ = false;
    const bool served = process_request(stream, last, closed, nullptr);
    return served && !closed && !stream.overrun() && !std::exchange(closeAfterAnswer_, false);
}

void GatedServer::closeAfterAnswer() {
    closeAfterAnswer_ = true;
}

// The library's backlog of 5 dropped connections that came faster than a moment's pause of
// its listener (a flood, a loaded machine), and the phone's page waited a second for a retry.
void GatedServer::widenBacklog() {
    ::listen(svr_sock_, SOMAXCONN);
}

// Called on the listener's thread (its task queue runs each task at once).
bool GatedServer::process_and_close_socket(socket_t sock) {
    if (!gate_) {
        ::close(sock);
        return false;
    }
    gate_->admit(sock);
    return true;
}

}  // namespace una::remote
