#pragma once
// The phone remote's security checks and routing, in one place: what a request may do, decided
// from its method, path, token and body before anything is touched. The HTTP server in app/ is
// only an adapter that feeds requests in and carries the decision out. Pure functions, safe
// from any thread.
//
// Routes (every one needs the token; a changing one needs it in the header):
//   GET  /              the page            token in ?t= or the header
//   GET  /api/state     the state as JSON   token in ?t= or the header
//   GET  /api/texts     the page's texts    token in ?t= or the header
//   GET  /api/events    the state as server-sent events, one per change
//   POST /api/command   {"command": "step +0.1"}: one line of the delay's command vocabulary
//                       (steps, "delay 5.3", start, stop, radio, tv, undo, "preset NAME",
//                       "follow on", "follow off")
//                       token in the header only, so a link or a form elsewhere cannot steer

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/delayAdjust.h"

namespace una::remote {

inline constexpr std::string_view kTokenHeader = "X-Remote-Token";
inline constexpr std::string_view kTokenQueryKey = "t";
inline constexpr size_t kMaxBodyBytes = 4096;

struct RemoteRequest {
    std::string_view method;       // "GET", "POST", ...
    std::string_view path;         // without the query
    std::string_view queryToken;   // the value of ?t=, empty when absent
    std::string_view headerToken;  // the X-Remote-Token header, empty when absent
    std::string_view body;
    // It announced a body its method does not carry (GET, HEAD...): the server leaves such a
    // body unread, and its bytes would be taken for the connection's next request.
    bool unreadBody = false;
};

struct RemoteDecision {
    enum class Route { Refuse, Page, State, Texts, Events, Command };
    Route route = Route::Refuse;
    int status = 403;
    std::string message;        // Refuse: one English sentence saying why
    std::string allow;          // 405: the methods the path takes
    app::DelayCommand command;  // Command: what to do, already checked
};

// True when `given` is `expected`, in a time that does not depend on where they differ. An
// empty `expected` matches nothing.
bool tokensEqual(std::string_view given, std::string_view expected);

// The decision for one request against the current token. Without the right token every
// request is refused with 403, whatever its path; then unknown paths give 404, wrong methods
// 405, bodies over kMaxBodyBytes 413, a body on a request that only reads 400, and a command that is not JSON, not an object with a
// text "command", not understood or sets a delay outside 0.1-160 s gives 400.
RemoteDecision decideRemoteRequest(const RemoteRequest& request, std::string_view token);

// What the page shows, as the program publishes it.
struct RemoteState {
    double delaySeconds = 0;   // the delay set
    std::string heard = "-";   // the delay heard, seconds with three decimals, or "-"
    // "stopped", "delaying", "running", "recording", "reconnecting" (the station recorded)
    std::string state = "stopped";
    bool started = false;      // the recorder is open: the page offers stop, else start
    std::string language;      // the program's language code
    std::vector<std::string> presets;  // the kept delays' names, in their order
    bool canUndo = false;      // a change made by taps can be taken back
    std::string said;          // what the steering said last, in the program's language
    bool listening = false;    // the program listens to the TV: the page offers follow
    bool follow = false;
    std::string lastMeasured;  // the last measurement (lag, confidence) as a sentence
};

bool operator==(const RemoteState& a, const RemoteState& b);

// {"delay":5.3,"heard":"5.003","state":"running","started":true,"language":"uk",
//  "presets":["Cable"],"undo":false,"said":"","listening":false,"follow":false,"measured":""}
std::string remoteStateJson(const RemoteState& state);

// {"error":"..."} for a refusal's message.
std::string remoteErrorJson(std::string_view message);

}  // namespace una::remote
