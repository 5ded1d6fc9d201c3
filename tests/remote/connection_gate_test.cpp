// ctest-labels: threaded
// The remote's connection gate and its HTTP server without the program around them, driven as
// a phone and an attacker do at once; so the threaded part of the remote also runs in the
// builds without Qt (ThreadSanitizer's).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "remote/connectionGate.h"
#include "remote/gatedHttp.h"

using namespace una::remote;
using namespace std::chrono_literals;

namespace {

const std::string kKey = "00112233445566778899aabbccddeeff";

size_t threadCount() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return size_t(std::distance(begin(tasks), end(tasks)));
}

// A socket connected to the server from the address `from` (the phone and the attacker are
// told apart by theirs); -1 when it cannot be had. Reads give up after 10 s, so a fault shows
// as a failure instead of a hung test.
int connectFrom(const char* from, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &address.sin_addr);
    const timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in server = address;
    server.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0)
        return fd;
    ::close(fd);
    return -1;
}

void sendAll(int fd, std::string_view bytes) {
    [[maybe_unused]] const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// Everything until the peer closes (or the read times out).
std::string readAll(int fd) {
    std::string answer;
    char buffer[4096];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, size_t(got));
    return answer;
}

// The peer closed the connection, rather than the read timing out.
bool closedByPeer(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

std::string request(bool withKey) {
    return std::string("GET / HTTP/1.1\r\nHost: tv\r\nConnection: close\r\n") +
           (withKey ? "X-Key: " + kKey + "\r\n" : "") + "\r\n";
}

// One request on a connection of its own, or a few bytes at a time by a slow client; the
// answer's status line, or "" without one.
std::string ask(const char* from, uint16_t port, bool withKey, bool slowly = false) {
    const int fd = connectFrom(from, port);
    if (fd < 0)
        return "";
    const std::string bytes = request(withKey);
    for (size_t at = 0; at < bytes.size(); at += slowly ? 4 : bytes.size()) {
        sendAll(fd, std::string_view(bytes).substr(at, slowly ? 4 : bytes.size()));
        if (slowly)
            std::this_thread::sleep_for(3ms);
    }
    const std::string answer = readAll(fd);
    ::close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

// The gate and server as the remote runs them: "/" answers only with the key, "/events" is a
// page's event stream, which ends when the server is stopping.
struct Rig {
    GatedServer server;
    std::unique_ptr<ConnectionGate> gate;
    std::thread listener;
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<bool> gateStopped{false};
    std::atomic<int> answered{0};
    std::atomic<int> servedAfterStop{0};

    Rig() {
        gate = std::make_unique<ConnectionGate>(
            GateLimits{}, [this](GateConnection& c) { return server.serveOne(c, stopping.load()); });
        server.setGate(gate.get());
        server.Get("/", [this](const httplib::Request& in, httplib::Response& out) {
            servedAfterStop += gateStopped.load();
            if (in.get_header_value("X-Key") != kKey) {
                out.status = 403;
                return;
            }
            ++answered;
            out.set_content("ok", "text/plain");
        });
        server.Get("/events", [this](const httplib::Request&, httplib::Response& out) {
            ConnectionGate::markLongLived();
            out.set_chunked_content_provider(
                "text/event-stream", [this](size_t, httplib::DataSink& sink) {
                    if (stopping)
                        return false;
                    std::this_thread::sleep_for(10ms);
                    return sink.write("data: 1\n\n", 9);
                });
        });
        const int bound = server.bind_to_any_port("127.0.0.1");
        EXPECT_GT(bound, 0);
        port = static_cast<uint16_t>(bound);
        server.widenBacklog();
        listener = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::sleep_for(1ms);
    }
    // As the remote stops: the streams are told, the listener ends, then the gate.
    void stop() {
        stopping = true;
        server.stop();
        listener.join();
        gate->stop();
        gateStopped = true;
    }
    ~Rig() {
        if (listener.joinable())
            stop();
    }
};

// Connections that began a request and say no more, from the attacker's address.
std::vector<int> halfOpen(uint16_t port, int count) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = connectFrom("127.0.0.1", port);
        if (fd < 0)
            continue;
        sendAll(fd, "GET / HTTP/1.1\r\nHost: tv\r\nX-Ke");
        fds.push_back(fd);
    }
    return fds;
}

TEST(ConnectionGate, PhoneAnsweredThroughFloodHalfOpenAndSlowClients) {
    Rig rig;
    const std::vector<int> held = halfOpen(rig.port, 300);
    std::string slowAnswer;
    std::thread slow([&] { slowAnswer = ask("127.0.0.1", rig.port, true, true); });
    std::atomic<int> wrongAnswers{0}, phoneAnswered{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t)
        clients.emplace_back([&, t] {
            // Attackers without the key from one address, a phone with it from another.
            const bool phone = t < 2;
            for (int i = 0; i < 40; ++i) {
                const std::string status = ask(phone ? "127.0.0.2" : "127.0.0.1", rig.port, phone);
                if (phone && status == "HTTP/1.1 200 OK")
                    ++phoneAnswered;
                else if (!phone && status != "HTTP/1.1 403 Forbidden" && !status.empty())
                    ++wrongAnswers;
            }
        });
    for (std::thread& client : clients)
        client.join();
    slow.join();
    EXPECT_EQ(phoneAnswered, 80) << "every request of the phone with the key is answered";
    EXPECT_EQ(wrongAnswers, 0);
    // The gate may end a slow connection to make room, never answer it wrongly.
    EXPECT_TRUE(slowAnswer.empty() || slowAnswer == "HTTP/1.1 200 OK") << slowAnswer;
    EXPECT_EQ(rig.answered, 80 + (slowAnswer.empty() ? 0 : 1)) << "nothing keyless got through";
    for (const int fd : held)
        ::close(fd);
}

TEST(ConnectionGate, StopWhileBusyEndsEveryConnectionAndWorker) {
    const size_t threadsBefore = threadCount();
    std::atomic<bool> flooding{true};
    std::vector<std::thread> clients;
    std::vector<int> held;
    int events = -1;
    {
        Rig rig;
        events = connectFrom("127.0.0.2", rig.port);
        ASSERT_GE(events, 0);
        sendAll(events, "GET /events HTTP/1.1\r\nHost: tv\r\n\r\n");
        char first[64];
        ASSERT_GT(::recv(events, first, sizeof first, 0), 0) << "the stream began";
        held = halfOpen(rig.port, 50);
        for (int t = 0; t < 4; ++t)
            clients.emplace_back([&, port = rig.port, t] {
                while (flooding)
                    ask("127.0.0.1", port, t % 2 == 0);
            });
        clients.emplace_back([port = rig.port] { ask("127.0.0.1", port, true, true); });
        while (rig.answered < 20)
            std::this_thread::sleep_for(1ms);
        rig.stop();

        // The stream ended: everything it still sends runs into the end of the connection.
        readAll(events);
        EXPECT_TRUE(closedByPeer(events)) << "the event stream was left open";

        // A socket handed over after the stop is closed unanswered.
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        sendAll(pair[0], request(true));
        rig.gate->admit(pair[1]);
        const timeval limit{10, 0};
        ::setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        EXPECT_EQ(readAll(pair[0]), "");
        EXPECT_TRUE(closedByPeer(pair[0])) << "a socket admitted after the stop was kept";
        ::close(pair[0]);
        EXPECT_EQ(rig.servedAfterStop, 0) << "a request was served after the gate stopped";
        flooding = false;
        for (std::thread& client : clients)
            client.join();
    }
    ::close(events);
    for (const int fd : held)
        ::close(fd);
    EXPECT_EQ(threadCount(), threadsBefore) << "a worker or the keeper was left behind";
}

// A client that began its request and went quiet holds a worker when the stop comes: the
// stop (the window's, on quitting) must not wait for the client's time-out.
TEST(ConnectionGate, StopEndsARequestStillBeingRead) {
    std::atomic<bool> reading{false}, woken{false};
    ConnectionGate gate({}, [&](GateConnection& connection) {
        char begun[16];
        [[maybe_unused]] const ssize_t got = ::recv(connection.fd, begun, sizeof begun, 0);
        reading = true;
        woken = waitForBytes(connection, 20000);
        return false;
    });
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    sendAll(pair[0], "GET / HT");
    gate.admit(pair[1]);
    while (!reading)
        std::this_thread::sleep_for(1ms);
    gate.stop();
    EXPECT_TRUE(woken) << "the stop waited for the rest of the request";
    ::close(pair[0]);
}

}  // namespace
