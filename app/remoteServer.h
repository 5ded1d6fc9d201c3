#pragma once
// The phone remote's HTTP server: cpp-httplib on threads of its own, carrying each request to
// decideRemoteRequest (remote/remoteRequest.h) and its decision back. It never touches the
// delay: commands wait in a queue that the owner's thread empties (takeCommands, woken through
// wakeFd), and the owner publishes what the pages show (publish). The library reads and
// writes HTTP; which connection gets a thread when is the ConnectionGate's (silent ones get
// none), so open, silent or slow connections cannot keep a page waiting.
//
// Threading: start, stop and the destructor on the owner's thread; publish, setToken,
// takeCommands and the getters from any thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/delayAdjust.h"
#include "remote/remoteRequest.h"

namespace una::remote {
class ConnectionGate;
struct GateConnection;
class GatedServer;
}  // namespace una::remote

namespace una::app {

class RemoteServer {
  public:
    struct Options {
        std::string host = "127.0.0.1";  // the one address it listens on
        uint16_t port = 8765;            // 0: any free port
        std::string token;               // must not be empty
        std::string page;                // the page's HTML
    };

    RemoteServer();
    ~RemoteServer();  // stops
    RemoteServer(const RemoteServer&) = delete;
    RemoteServer& operator=(const RemoteServer&) = delete;

    // Listens and serves until stop. False with one sentence in `error` when the address or
    // port cannot be had (another program on the port) or the token is empty; nothing runs then.
    bool start(const Options& options, std::string& error);
    void stop();
    bool isRunning() const { return thread_.joinable(); }

    uint16_t port() const { return port_; }
    // "http://HOST:PORT/?t=TOKEN": what the phone opens. "" while not running.
    std::string pageAddress() const;

    // A new key: every request with the old one is refused from now on, and the open pages'
    // event streams end.
    void setToken(const std::string& token);

    // What every open page shows; a state equal to the last one sends nothing.
    void publish(const remote::RemoteState& state);

    // The commands that arrived since the last call, oldest first.
    std::vector<DelayCommand> takeCommands();
    // Readable while commands wait; takeCommands makes it quiet again.
    int wakeFd() const { return wakeFd_; }

    // Open event streams at most: each holds one of the server's threads.
    static constexpr int kMaxEventStreams = 8;

  private:
    bool serveConnection(remote::GateConnection& connection);
    void serveEvents(void* response);
    bool streamOne(uint64_t& sentVersion, uint64_t generation, std::string& chunk);

    std::unique_ptr<remote::GatedServer> server_;
    // Holds the connections until they speak; stopped after the server's listener.
    std::unique_ptr<remote::ConnectionGate> gate_;
    std::thread thread_;
    std::string host_;
    uint16_t port_ = 0;
    std::string page_;
    int wakeFd_ = -1;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string token_;
    uint64_t tokenGeneration_ = 0;
    remote::RemoteState state_;
    uint64_t stateVersion_ = 0;
    std::vector<DelayCommand> commands_;
    bool stopping_ = false;
    std::atomic<int> eventStreams_{0};
};

// The page's texts in the language of the code, as one JSON object.
std::string remotePageTexts(std::string_view languageCode);

}  // namespace una::app
