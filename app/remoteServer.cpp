#include "app/remoteServer.h"

#include <httplib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "app/texts.h"
#include "remote/connectionGate.h"
#include "remote/gatedHttp.h"

namespace una::app {

namespace {

// Enough for the open pages' event streams and a few requests besides; a flood waits at the
// gate instead of taking threads from the rest of the program.
constexpr size_t kWorkerThreads = RemoteServer::kMaxEventStreams + 8;
// Requests on one kept connection, the last answered with "Connection: close".
constexpr uint32_t kRequestsPerConnection = 100;

// A comment line now and then finds pages that went away (a reloaded page leaves its old
// stream behind, holding a thread and a place until a write fails) and keeps proxies open.
constexpr auto kEventKeepAlive = std::chrono::seconds(3);

void setCommonHeaders(httplib::Response& response) {
    // The key travels in the page's address: it must not leak to other sites or caches.
    response.set_header("Cache-Control", "no-store");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("X-Content-Type-Options", "nosniff");
}

}  // namespace

std::string remotePageTexts(std::string_view code) {
    nlohmann::json json;
    const std::pair<const char*, Msg> entries[] = {
        {"title", Msg::RemotePageTitle},       {"delay", Msg::RemoteDelay},
        {"heard", Msg::RemoteHeard},           {"set", Msg::RemoteSet},
        {"start", Msg::RemoteStart},           {"stop", Msg::RemoteStop},
        {"stopped", Msg::RemoteStateStopped},  {"delaying", Msg::RemoteStateDelaying},
        {"running", Msg::RemoteStateRunning},  {"recording", Msg::RemoteStateRecording},
        {"lost", Msg::RemoteConnectionLost},   {"refused", Msg::RemoteRefused},
        {"radio", Msg::TapRadioCaption},       {"tv", Msg::TapTvCaption},
        {"undo", Msg::TapUndoCaption},         {"presets", Msg::RemotePresetPick},
        {"follow", Msg::SyncFollowCaption},    {"reconnecting", Msg::RemoteStateReconnecting},
    };
    for (const auto& [key, id] : entries) {
        std::string text = msg(id, code);
        // The window's accelerators mean nothing on a phone.
        std::erase(text, '&');
        json[key] = text;
    }
    json["lang"] = isEnglish(code) ? "en" : "es";
    // The program's own code, as the state carries it: the page asks again only when it changes.
    json["code"] = std::string(code);
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

RemoteServer::RemoteServer() {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

RemoteServer::~RemoteServer() {
    stop();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

bool RemoteServer::start(const Options& options, std::string& error) {
    stop();
    if (options.token.empty()) {
        error = "there is no key to protect the page with";
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        token_ = options.token;
        stopping_ = false;
    }
    page_ = options.page;
    host_ = options.host;
    server_ = std::make_unique<remote::GatedServer>();
    remote::GatedServer& server = *server_;
    remote::GateLimits limits;
    limits.workers = kWorkerThreads;
    gate_ = std::make_unique<remote::ConnectionGate>(
        limits, [this](remote::GateConnection& connection) { return serveConnection(connection); });
    server.setGate(gate_.get());
    server.set_payload_max_length(remote::kMaxBodyBytes);
    // The library's default adds SO_REUSEPORT, which lets a second program bind the same port
    // and silently take half of the phone's requests: it must be told the port is taken.
    server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        setCommonHeaders(response);
        const std::string queryToken = request.get_param_value("t");
        const std::string headerToken =
            request.get_header_value(std::string(remote::kTokenHeader).c_str());
        std::string token;
        {
            std::lock_guard lock(mutex_);
            token = token_;
        }
        // The library reads a body only for the methods that carry one.
        const bool bodyRead = request.method == "POST" || request.method == "PUT" ||
                              request.method == "PATCH" || request.method == "DELETE";
        const bool unreadBody = !bodyRead && (request.has_header("Transfer-Encoding") ||
                                              (request.has_header("Content-Length") &&
                                               request.get_header_value("Content-Length") != "0"));
        if (unreadBody)
            remote::GatedServer::closeAfterAnswer();
        const remote::RemoteDecision decision = remote::decideRemoteRequest(
            {request.method, request.path, queryToken, headerToken, request.body, unreadBody},
            token);
        response.status = decision.status;
        using Route = remote::RemoteDecision::Route;
        switch (decision.route) {
            case Route::Refuse:
                if (!decision.allow.empty())
                    response.set_header("Allow", decision.allow);
                response.set_content(remote::remoteErrorJson(decision.message),
                                     "application/json");
                return;
            case Route::Page:
                response.set_header("Content-Security-Policy",
                                    "default-src 'none'; script-src 'unsafe-inline'; "
                                    "style-src 'unsafe-inline'; connect-src 'self'; "
                                    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
                response.set_content(page_, "text/html; charset=utf-8");
                return;
            case Route::State:
            case Route::Texts: {
                std::unique_lock lock(mutex_);
                const remote::RemoteState state = state_;
                lock.unlock();
                response.set_content(decision.route == Route::State
                                         ? remote::remoteStateJson(state)
                                         : remotePageTexts(state.language),
                                     "application/json");
                return;
            }
            case Route::Events:
                serveEvents(&response);
                return;
            case Route::Command: {
                {
                    std::lock_guard lock(mutex_);
                    // A page cannot pile up more than a moment's worth of presses.
                    if (commands_.size() >= 64) {
                        response.status = 503;
                        response.set_content(remote::remoteErrorJson("too many commands at once"),
                                             "application/json");
                        return;
                    }
                    commands_.push_back(decision.command);
                    // A tap is the moment it arrived, not when the owner's thread gets to it.
                    commands_.back().receivedNs =
                        std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
                }
                const uint64_t one = 1;
                [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
                response.set_content("{\"ok\":true}", "application/json");
                return;
            }
        }
    };
    for (const char* pattern : {".*"}) {
        server.Get(pattern, handle);
        server.Post(pattern, handle);
        server.Put(pattern, handle);
        server.Patch(pattern, handle);
        server.Delete(pattern, handle);
        server.Options(pattern, handle);
    }
    // What the library refuses itself (a body too large, a broken request) still says why.
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty())
            return;
        setCommonHeaders(response);
        const char* why = response.status == 413   ? "the request body is larger than 4096 bytes"
                          : response.status == 414 ? "the address is too long"
                                                   : "the request is not understood";
        response.set_content(remote::remoteErrorJson(why), "application/json");
    });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            response.status = 500;
            response.set_content(remote::remoteErrorJson("internal error"), "application/json");
        });

    errno = 0;
    int port = options.port;
    bool bound;
    if (options.port == 0) {
        port = server.bind_to_any_port(options.host);
        bound = port > 0;
    } else {
        bound = server.bind_to_port(options.host, options.port);
    }
    if (!bound) {
        const int cause = errno;
        error = "cannot listen on " + options.host + ":" + std::to_string(options.port) +
                (cause == EADDRINUSE ? " (another program is using the port)"
                 : cause != 0        ? std::string(" (") + std::strerror(cause) + ")"
                                     : std::string());
        server_.reset();
        gate_.reset();
        return false;
    }
    server.widenBacklog();
    port_ = static_cast<uint16_t>(port);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop before the library's loop has begun would be missed, and the loop never left.
    for (int waited = 0; !server_->is_running() && waited < 2000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void RemoteServer::stop() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    thread_.join();
    // The listener is gone: nothing is admitted any more, and the event streams are ending.
    gate_->stop();
    gate_.reset();
    server_.reset();
}

bool RemoteServer::serveConnection(remote::GateConnection& connection) {
    bool last;
    {
        std::lock_guard lock(mutex_);
        last = stopping_ || ++connection.requests >= kRequestsPerConnection;
    }
    return server_->serveOne(connection, last) && !last;
}

std::string RemoteServer::pageAddress() const {
    if (!isRunning())
        return {};
    std::lock_guard lock(mutex_);
    return "http://" + host_ + ":" + std::to_string(port_) + "/?" +
           std::string(remote::kTokenQueryKey) + "=" + token_;
}

void RemoteServer::setToken(const std::string& token) {
    {
        std::lock_guard lock(mutex_);
        token_ = token;
        ++tokenGeneration_;
    }
    changed_.notify_all();
}

void RemoteServer::publish(const remote::RemoteState& state) {
    {
        std::lock_guard lock(mutex_);
        if (state == state_ && stateVersion_ != 0)
            return;
        state_ = state;
        ++stateVersion_;
    }
    changed_.notify_all();
}

std::vector<DelayCommand> RemoteServer::takeCommands() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wakeFd_, &count, sizeof count);
    std::lock_guard lock(mutex_);
    return std::exchange(commands_, {});
}

// Waits for the next state (or the keep-alive's turn) and puts it in `chunk`; false when the
// stream must end: the server stops or the key changed.
bool RemoteServer::streamOne(uint64_t& sentVersion, uint64_t generation, std::string& chunk) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kEventKeepAlive, [&] {
        return stopping_ || generation != tokenGeneration_ || stateVersion_ != sentVersion;
    });
    if (stopping_ || generation != tokenGeneration_)
        return false;
    if (stateVersion_ == sentVersion) {
        chunk = ":\n\n";
        return true;
    }
    sentVersion = stateVersion_;
    chunk = "data: " + remote::remoteStateJson(state_) + "\n\n";
    return true;
}

void RemoteServer::serveEvents(void* responsePointer) {
    auto& response = *static_cast<httplib::Response*>(responsePointer);
    if (eventStreams_.fetch_add(1) >= kMaxEventStreams) {
        eventStreams_.fetch_sub(1);
        response.status = 503;
        response.set_content(remote::remoteErrorJson("too many pages are open"), "application/json");
        return;
    }
    // It holds its thread as long as the page stays open; the page's other requests must
    // still find one.
    remote::ConnectionGate::markLongLived();
    uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        generation = tokenGeneration_;
    }
    response.set_header("X-Accel-Buffering", "no");
    auto sentVersion = std::make_shared<uint64_t>(0);
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, sentVersion, generation](size_t, httplib::DataSink& sink) {
            std::string chunk;
            if (!streamOne(*sentVersion, generation, chunk))
                return false;
            return sink.write(chunk.data(), chunk.size());
        },
        [this](bool) { eventStreams_.fetch_sub(1); });
}

}  // namespace una::app
