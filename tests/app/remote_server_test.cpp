// ctest-labels: threaded
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/remoteLink.h"
#include "app/remoteServer.h"

using namespace una::app;

namespace {

const std::string kToken = "00112233445566778899aabbccddeeff";

struct Running {
    RemoteServer server;
    std::unique_ptr<httplib::Client> client;
    Running() {
        std::string error;
        EXPECT_TRUE(server.start({"127.0.0.1", 0, kToken, remotePageHtml()}, error)) << error;
        client = std::make_unique<httplib::Client>("127.0.0.1", server.port());
        client->set_read_timeout(5, 0);
    }
};

bool readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 2000) == 1;
}

}  // namespace

TEST(RemoteServer, ServesThePageAndQueuesCommandsOnlyWithTheKey) {
    Running r;
    EXPECT_EQ(r.client->Get("/")->status, 403);
    const auto page = r.client->Get("/?t=" + kToken);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("data-command=\"step +0.1\""), std::string::npos);
    EXPECT_EQ(page->get_header_value("Referrer-Policy"), "no-referrer");

    const std::string body = R"({"command":"step +0.1"})";
    EXPECT_EQ(r.client->Post("/api/command?t=" + kToken, body, "application/json")->status, 403);
    EXPECT_TRUE(r.server.takeCommands().empty());
    const httplib::Headers key{{"X-Remote-Token", kToken}};
    const auto steadyNs = [] {
        return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
    };
    const int64_t before = steadyNs();
    EXPECT_EQ(r.client->Post("/api/command", key, body, "application/json")->status, 200);
    const int64_t after = steadyNs();
    EXPECT_TRUE(readable(r.server.wakeFd()));
    const auto commands = r.server.takeCommands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].steps, 1);
    // A tap counts from its arrival, on the clock the taps are measured with.
    EXPECT_GE(commands[0].receivedNs, before);
    EXPECT_LE(commands[0].receivedNs, after);
    EXPECT_NE(una::app::remotePageTexts("uk").find(R"("radio":"Radio now")"), std::string::npos);

    // Refused by the library itself, and still answered in the page's terms.
    const auto huge = r.client->Post("/api/command", key, std::string(5000, ' '), "text/plain");
    EXPECT_EQ(huge->status, 413);
    EXPECT_NE(huge->body.find("4096"), std::string::npos);
    httplib::Headers bigHeader = key;
    bigHeader.emplace("X-Filler", std::string(1 << 20, 'a'));
    const auto overlong = r.client->Get("/api/state", bigHeader);
    EXPECT_TRUE(!overlong || overlong->status >= 400);
    EXPECT_EQ(r.client->Get("/api/state", key)->status, 200);
    EXPECT_TRUE(r.server.takeCommands().empty());
}

TEST(RemoteServer, StreamsEveryChangeAndANewKeyEndsOldPages) {
    Running r;
    una::remote::RemoteState state;
    state.delaySeconds = 4;
    r.server.publish(state);
    std::atomic<int> events{0};
    std::thread page([&] {
        httplib::Client client("127.0.0.1", r.server.port());
        client.set_read_timeout(10, 0);
        client.Get("/api/events?t=" + kToken, [&](const char* data, size_t length) {
            const std::string_view chunk(data, length);
            for (size_t at = chunk.find("data:"); at != std::string_view::npos;
                 at = chunk.find("data:", at + 1))
                ++events;
            return true;
        });
    });
    for (int i = 0; i < 200 && events < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    state.delaySeconds = 4.1;
    r.server.publish(state);
    r.server.publish(state);  // the same again sends nothing
    for (int i = 0; i < 200 && events < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(events, 2);

    r.server.setToken("ffeeddccbbaa99887766554433221100");
    page.join();  // the stream ended by itself
    EXPECT_EQ(r.client->Get("/api/state?t=" + kToken)->status, 403);
}

TEST(RemoteServer, ASecondProgramOnThePortIsToldWhy) {
    Running first;
    RemoteServer second;
    std::string error;
    EXPECT_FALSE(second.start({"127.0.0.1", first.server.port(), kToken, "x"}, error));
    EXPECT_NE(error.find("another program"), std::string::npos) << error;
    EXPECT_FALSE(second.isRunning());
    EXPECT_FALSE(second.start({"127.0.0.1", 0, "", "x"}, error));
    EXPECT_EQ(first.client->Get("/api/state?t=" + kToken)->status, 200);
}

namespace {

// From `from`, another address of this machine, as another device at home would.
int connectTo(uint16_t port, uint32_t from = INADDR_LOOPBACK) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(from);
    if (fd >= 0)
        ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// Connections that never speak (from the page's own address) or begin a request and never end
// it (from both): more than the server has threads, each held for its time-out, and a page
// must still load and get its event stream while they are held.
TEST(RemoteServer, HeldConnectionsDoNotKeepAPageWaiting) {
    Running r;
    r.server.publish({});
    std::vector<int> held;
    for (int i = 0; i < 300; ++i) {
        const bool partial = i % 3 != 2;
        const int fd = connectTo(r.server.port(), i % 3 ? INADDR_LOOPBACK : INADDR_LOOPBACK + 1);
        ASSERT_GE(fd, 0);
        if (partial) {
            const std::string begun = "GET /api/state HTTP/1.1\r\nHost: x\r\n";
            ::send(fd, begun.data(), begun.size(), MSG_NOSIGNAL);
        }
        held.push_back(fd);
    }
    // Time-outs of a second: they only tell a page kept waiting from one that was not.
    httplib::Client page("127.0.0.1", r.server.port());
    page.set_connection_timeout(1, 0);
    page.set_read_timeout(1, 0);
    const auto state = page.Get("/api/state?t=" + kToken);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->status, 200);
    bool streamed = false;
    page.Get("/api/events?t=" + kToken, [&](const char* data, size_t length) {
        streamed = std::string_view(data, length).find("data:") != std::string_view::npos;
        return !streamed;
    });
    EXPECT_TRUE(streamed);

    // Two requests in one packet on a kept connection: the second is not lost while the
    // connection waits for its next request.
    const int kept = connectTo(r.server.port());
    const std::string two = "GET /api/state?t=" + kToken + " HTTP/1.1\r\nHost: x\r\n\r\n" +
                            "GET /api/state?t=" + kToken +
                            " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(::send(kept, two.data(), two.size(), MSG_NOSIGNAL), ssize_t(two.size()));
    std::string answers;
    char bytes[4096];
    for (ssize_t n; readable(kept) && (n = ::recv(kept, bytes, sizeof bytes, 0)) > 0;)
        answers.append(bytes, size_t(n));
    size_t ok = 0;
    for (size_t at = answers.find("HTTP/1.1 200"); at != std::string::npos;
         at = answers.find("HTTP/1.1 200", at + 1))
        ++ok;
    EXPECT_EQ(ok, 2u) << answers;
    ::close(kept);
    for (int fd : held)
        ::close(fd);
}

// A body on a GET is left unread by the library, so a command hidden in it ran as the next
// request; header lines that keep coming met no deadline and no bound, and the program's memory
// grew with them, without the key. Both are refused and the connection ends.
TEST(RemoteServer, NoRequestHidesInABodyOrGrowsWithoutBound) {
    Running r;
    const auto exchange = [&](const std::string& bytes) {
        const int fd = connectTo(r.server.port());
        std::string answer;
        for (size_t at = 0; at < bytes.size();) {
            const ssize_t sent = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (sent <= 0)
                break;  // the server closed it: what it answered is still to be read
            at += size_t(sent);
        }
        char chunk[4096];
        for (ssize_t n; readable(fd) && (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
            answer.append(chunk, size_t(n));
        ::close(fd);
        return answer;
    };
    const std::string command = "{\"command\":\"step +1\"}";
    const std::string hidden = "POST /api/command HTTP/1.1\r\nHost: x\r\nX-Remote-Token: " +
                               kToken + "\r\nContent-Length: " + std::to_string(command.size()) +
                               "\r\n\r\n" + command;
    const std::string smuggled = exchange("GET /api/state?t=" + kToken +
                                          " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                          std::to_string(hidden.size()) + "\r\n\r\n" + hidden);
    EXPECT_EQ(smuggled.rfind("HTTP/1.1 400", 0), 0u) << smuggled;
    EXPECT_EQ(smuggled.find("HTTP/1.1", 1), std::string::npos) << smuggled;
    EXPECT_TRUE(r.server.takeCommands().empty());

    std::string endless = "GET /api/state HTTP/1.1\r\nHost: x\r\n";
    while (endless.size() < 4'000'000)
        endless += "X-Filler: " + std::string(90, 'v') + "\r\n";
    const std::string cut = exchange(endless + "\r\n");
    EXPECT_EQ(cut.rfind("HTTP/1.1 400", 0), 0u) << cut.substr(0, 200);
}
