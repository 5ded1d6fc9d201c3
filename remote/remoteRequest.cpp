#include "remote/remoteRequest.h"

#include <nlohmann/json.hpp>

#include <cmath>

#include "app/delayValue.h"

namespace una::remote {

namespace {

RemoteDecision refuse(int status, std::string message, std::string allow = {}) {
    RemoteDecision decision;
    decision.status = status;
    decision.message = std::move(message);
    decision.allow = std::move(allow);
    return decision;
}

RemoteDecision route(RemoteDecision::Route to) {
    RemoteDecision decision;
    decision.route = to;
    decision.status = 200;
    return decision;
}

RemoteDecision command(std::string_view body) {
    if (body.size() > kMaxBodyBytes)
        return refuse(413, "the request body is larger than 4096 bytes");
    // No exceptions: a broken body is a discarded value.
    const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded())
        return refuse(400, "the body is not JSON");
    if (!json.is_object() || !json.contains("command") || !json["command"].is_string())
        return refuse(400,
                      "the body needs a text \"command\", e.g. {\"command\": \"step +0.1\"}");
    const std::string& line = json["command"].get_ref<const std::string&>();
    const auto parsed = app::parseDelayCommand(line);
    if (!parsed || parsed->kind == app::DelayCommand::Kind::Bad)
        return refuse(400, "the command is not understood; use +, -, \"delay 5.3\", "
                           "\"step +1\", start, stop, radio, tv, undo, \"preset NAME\", "
                           "\"follow on\" or \"follow off\"");
    if (parsed->kind == app::DelayCommand::Kind::Set &&
        !(parsed->seconds >= app::kMinDelaySeconds && parsed->seconds <= app::kMaxDelaySeconds))
        return refuse(400, "the delay must lie between 0.1 and 160 seconds");
    RemoteDecision decision = route(RemoteDecision::Route::Command);
    decision.command = *parsed;
    return decision;
}

}  // namespace

bool tokensEqual(std::string_view given, std::string_view expected) {
    if (expected.empty() || given.size() != expected.size())
        return false;
    // Every byte is compared, so the time says nothing about where a guess went wrong.
    unsigned char difference = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    return difference == 0;
}

RemoteDecision decideRemoteRequest(const RemoteRequest& request, std::string_view token) {
    const bool headerOk = tokensEqual(request.headerToken, token);
    // Both are always compared: which one was given must not show in the time either.
    const bool queryOk = tokensEqual(request.queryToken, token);
    if (!headerOk && !queryOk)
        return refuse(403, "this address needs the program's current key");

    using Route = RemoteDecision::Route;
    Route to;
    if (request.path == "/" || request.path == "/index.html")
        to = Route::Page;
    else if (request.path == "/api/state")
        to = Route::State;
    else if (request.path == "/api/texts")
        to = Route::Texts;
    else if (request.path == "/api/events")
        to = Route::Events;
    else if (request.path == "/api/command")
        to = Route::Command;
    else
        return refuse(404, "there is nothing at this address");

    if (to == Route::Command) {
        if (request.method != "POST")
            return refuse(405, "a command is sent with POST", "POST");
        if (!headerOk)
            return refuse(403, "a command needs the key in the X-Remote-Token header");
        return command(request.body);
    }
    if (request.method != "GET" && request.method != "HEAD")
        return refuse(405, "this address is only read, with GET", "GET, HEAD");
    if (request.unreadBody)
        return refuse(400, "a request that only reads has no body");
    return route(to);
}

bool operator==(const RemoteState& a, const RemoteState& b) {
    return a.delaySeconds == b.delaySeconds && a.heard == b.heard && a.state == b.state &&
           a.started == b.started && a.language == b.language && a.presets == b.presets &&
           a.canUndo == b.canUndo && a.said == b.said && a.listening == b.listening &&
           a.follow == b.follow && a.lastMeasured == b.lastMeasured;
}

std::string remoteStateJson(const RemoteState& state) {
    nlohmann::json json;
    // To the millisecond (a tapped or found delay keeps its milliseconds); the JSON number
    // must not show 5.300000000000001.
    json["delay"] = std::round(state.delaySeconds * 1000.0) / 1000.0;
    json["heard"] = state.heard;
    json["state"] = state.state;
    json["started"] = state.started;
    json["language"] = state.language;
    json["presets"] = state.presets;
    json["undo"] = state.canUndo;
    json["said"] = state.said;
    json["listening"] = state.listening;
    json["follow"] = state.follow;
    json["measured"] = state.lastMeasured;
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string remoteErrorJson(std::string_view message) {
    nlohmann::json json;
    json["error"] = std::string(message);
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace una::remote
