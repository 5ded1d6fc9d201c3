#include <gtest/gtest.h>

#include "remote/remoteAccess.h"
#include "remote/remoteQr.h"
#include "remote/remoteRequest.h"

using namespace una::remote;
using Route = RemoteDecision::Route;
using Kind = una::app::DelayCommand::Kind;

namespace {

const std::string kToken = "00112233445566778899aabbccddeeff";

RemoteDecision post(std::string_view body, std::string_view header = kToken) {
    return decideRemoteRequest({"POST", "/api/command", "", header, body}, kToken);
}

}  // namespace

TEST(RemoteRequest, WithoutTheKeyEverythingIsForbidden) {
    for (std::string_view path : {"/", "/api/state", "/api/events", "/api/command", "/nope"})
        for (std::string_view method : {"GET", "POST", "OPTIONS"}) {
            for (std::string_view token : {std::string_view(), std::string_view("x"),
                                           std::string_view(kToken).substr(0, 31),
                                           std::string_view("00112233445566778899aabbccddeefF")}) {
                const auto decision = decideRemoteRequest({method, path, token, token, "{}"}, kToken);
                EXPECT_EQ(decision.route, Route::Refuse) << path;
                EXPECT_EQ(decision.status, 403) << path;
            }
        }
    // No key configured lets nobody in, not even an empty one.
    EXPECT_EQ(decideRemoteRequest({"GET", "/", "", "", ""}, "").status, 403);
    EXPECT_TRUE(tokensEqual(kToken, kToken));
}

TEST(RemoteRequest, ReadsTakeTheKeyFromTheAddressButCommandsOnlyFromTheHeader) {
    EXPECT_EQ(decideRemoteRequest({"GET", "/", kToken, "", ""}, kToken).route, Route::Page);
    EXPECT_EQ(decideRemoteRequest({"GET", "/api/events", "", kToken, ""}, kToken).route,
              Route::Events);
    const auto fromLink = decideRemoteRequest(
        {"POST", "/api/command", kToken, "", R"({"command":"+"})"}, kToken);
    EXPECT_EQ(fromLink.status, 403);
    const auto pressed = post(R"({"command":"step +1"})");
    ASSERT_EQ(pressed.route, Route::Command);
    EXPECT_EQ(pressed.command.kind, Kind::Step);
    EXPECT_EQ(pressed.command.steps, 10);
    EXPECT_EQ(post(R"({"command":"step -0.1"})").command.steps, -1);
    EXPECT_EQ(post(R"({"command":"stop"})").command.kind, Kind::Stop);
    EXPECT_EQ(post(R"({"command":"delay 7,5"})").command.seconds, 7.5);
}

TEST(RemoteRequest, TapsPresetsAndFollowAreCommandsToo) {
    EXPECT_EQ(post(R"({"command":"radio"})").command.kind, Kind::TapRadio);
    EXPECT_EQ(post(R"({"command":"tv"})").command.kind, Kind::TapTv);
    EXPECT_EQ(post(R"({"command":"undo"})").command.kind, Kind::Undo);
    const auto preset = post(R"({"command":"preset  Cable TV "})");
    EXPECT_EQ(preset.command.kind, Kind::Preset);
    EXPECT_EQ(preset.command.text, "Cable TV");
    EXPECT_EQ(post(R"({"command":"follow on"})").command.kind, Kind::FollowOn);
    EXPECT_EQ(post(R"({"command":"follow off"})").command.kind, Kind::FollowOff);
    for (std::string_view body : {R"({"command":"follow"})", R"({"command":"follow maybe"})",
                                  R"({"command":"preset "})"})
        EXPECT_EQ(post(body).status, 400) << body;
    // The arrival is stamped by the server, never taken from the page.
    EXPECT_EQ(post(R"({"command":"radio","receivedNs":5})").command.receivedNs, 0);
}

TEST(RemoteRequest, BadRequestsGetAClearAnswer) {
    const auto wrongMethod = decideRemoteRequest({"GET", "/api/command", kToken, kToken, ""}, kToken);
    EXPECT_EQ(wrongMethod.status, 405);
    EXPECT_EQ(wrongMethod.allow, "POST");
    EXPECT_EQ(decideRemoteRequest({"POST", "/api/state", "", kToken, ""}, kToken).status, 405);
    EXPECT_EQ(decideRemoteRequest({"GET", "/../etc/passwd", kToken, "", ""}, kToken).status, 404);
    for (std::string_view body :
         {"", "{", "[1]", R"({"command":5})", R"({"cmd":"+"})", R"({"command":"louder"})",
          R"({"command":"delay 0"})", R"({"command":"delay 160.01"})", R"({"command":"delay nan"})",
          R"({"command":"delay 1e999"})", R"({"command":"step 1"})", "\xff\xfe"}) {
        const auto decision = post(body);
        EXPECT_EQ(decision.status, 400) << body;
        EXPECT_FALSE(decision.message.empty());
    }
    EXPECT_EQ(post(std::string(kMaxBodyBytes + 1, ' ')).status, 413);
    EXPECT_EQ(post(R"({"command":"delay 160"})").command.seconds, 160.0);
}

TEST(RemoteRequest, StateIsJsonTheSameEveryTime) {
    RemoteState state;
    state.delaySeconds = 5.300000000000001;
    state.heard = "5.003";
    state.state = "running";
    state.started = true;
    state.language = "uk\"";
    EXPECT_EQ(remoteStateJson(state),
              R"({"delay":5.3,"follow":false,"heard":"5.003","language":"uk\"","listening":false,)"
              R"("measured":"","presets":[],"said":"","started":true,"state":"running",)"
              R"("undo":false})");
    // A tapped delay keeps its milliseconds; the finder's side and the presets go along.
    state.delaySeconds = 5.2345;
    state.presets = {"Cable", "Sat"};
    state.listening = state.follow = state.canUndo = true;
    state.said = "Delay changed by +1.234 s";
    const std::string json = remoteStateJson(state);
    for (std::string_view part : {R"("delay":5.235)", R"("presets":["Cable","Sat"])",
                                  R"("follow":true)", R"("undo":true)", R"("said":"Delay changed)"})
        EXPECT_NE(json.find(part), std::string::npos) << part;
    RemoteState other = state;
    other.presets.pop_back();
    EXPECT_FALSE(other == state);
    EXPECT_EQ(remoteErrorJson("bad \xff"), "{\"error\":\"bad \xEF\xBF\xBD\"}");
}

TEST(RemoteAccess, KeysAreRandomAndOfOneShape) {
    const std::string a = makeRemoteToken(), b = makeRemoteToken();
    EXPECT_TRUE(isRemoteToken(a));
    EXPECT_NE(a, b);
    EXPECT_FALSE(isRemoteToken("1234"));
    EXPECT_FALSE(isRemoteToken("00112233445566778899AABBCCDDEEFF"));
    EXPECT_TRUE(isHomeNetworkAddress(0xC0A80114));   // 192.168.1.20
    EXPECT_TRUE(isHomeNetworkAddress(0xAC1F0001));   // 172.31.0.1
    EXPECT_FALSE(isHomeNetworkAddress(0xAC200001));  // 172.32.0.1
    EXPECT_FALSE(isHomeNetworkAddress(0x08080808));
    EXPECT_FALSE(isHomeNetworkAddress(0x7F000001));
}

TEST(RemoteQr, AnAddressBecomesASquareCodeAndTerminalLines) {
    const QrModules code = qrModules("http://192.168.1.20:8765/?t=" + kToken);
    ASSERT_GE(code.size, 21);
    EXPECT_EQ(code.dark.size(), size_t(code.size * code.size));
    // The finder pattern's corner is dark, the quiet zone light.
    EXPECT_TRUE(code.at(0, 0));
    EXPECT_FALSE(code.at(-1, 0));
    const std::string text = qrTerminalText(code);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), (code.size + 4 + 1) / 2);
    EXPECT_EQ(qrModules(std::string(8000, 'x')).size, 0);
    EXPECT_EQ(qrTerminalText({}), "");
}
