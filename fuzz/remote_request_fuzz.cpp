// Arbitrary requests to the phone remote: nothing is let through without the key, a command
// only with the key in the header, and what is let through is a command the delay can take.
// fuzz-sources: remote/remoteRequest.cpp app/delayAdjust.cpp app/delayValue.cpp
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/delayValue.h"
#include "remote/remoteRequest.h"

using namespace una;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "remote request invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    static const std::string kToken = "0123456789abcdef0123456789abcdef";
    static const char* kMethods[] = {"GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE"};
    const std::string method = kMethods[input.ConsumeIntegralInRange<size_t>(0, 5)];
    const std::string path = input.ConsumeRandomLengthString(32);
    const std::string query = input.ConsumeBool() ? kToken : input.ConsumeRandomLengthString(40);
    const std::string header = input.ConsumeBool() ? kToken : input.ConsumeRandomLengthString(40);
    const bool unreadBody = input.ConsumeBool();
    const std::string body = input.ConsumeRemainingBytesAsString();

    const remote::RemoteDecision decision =
        remote::decideRemoteRequest({method, path, query, header, body, unreadBody}, kToken);
    using Route = remote::RemoteDecision::Route;
    if (unreadBody)
        check(decision.route == Route::Refuse || decision.route == Route::Command,
              "a body left unread is never served as a read");
    if (query != kToken && header != kToken)
        check(decision.route == Route::Refuse && decision.status == 403, "no key, no entry");
    check((decision.route == Route::Refuse) == (decision.status != 200), "status fits route");
    if (decision.route == Route::Command) {
        check(header == kToken && method == "POST", "commands need the key in the header");
        check(body.size() <= remote::kMaxBodyBytes, "bodies are bounded");
        const app::DelayCommand& command = decision.command;
        check(command.kind != app::DelayCommand::Kind::Bad, "bad commands are refused");
        if (command.kind == app::DelayCommand::Kind::Set)
            check(command.seconds >= app::kMinDelaySeconds &&
                      command.seconds <= app::kMaxDelaySeconds,
                  "a delay set is within range");
    }
    return 0;
}
