#include "app/stationTexts.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "app/texts.h"

namespace una::app {

std::string stationFaultSaid(const stream::StationStatus& status, std::string_view code) {
    using Fault = stream::StationFault;
    static constexpr std::pair<Fault, Msg> kSaid[] = {
        {Fault::notFound, Msg::StationFaultNotFound},
        {Fault::accessDenied, Msg::StationFaultAccessDenied},
        {Fault::rejected, Msg::StationFaultRejected},
        {Fault::serverError, Msg::StationFaultServerError},
        {Fault::refused, Msg::StationFaultRefused},
        {Fault::unresolved, Msg::StationFaultUnresolved},
        {Fault::unreachable, Msg::StationFaultUnreachable},
        {Fault::timeout, Msg::StationFaultTimeout},
        {Fault::silent, Msg::StationFaultSilent},
        {Fault::ended, Msg::StationFaultEnded},
        {Fault::webPage, Msg::StationFaultWebPage},
        {Fault::notAStream, Msg::StationFaultNotAStream},
        {Fault::undecodable, Msg::StationFaultUndecodable},
        {Fault::notWebAddress, Msg::StationFaultNotWebAddress},
        {Fault::playlistLoop, Msg::StationFaultPlaylistLoop},
        {Fault::playlistEmpty, Msg::StationFaultPlaylistEmpty},
    };
    for (const auto& [fault, id] : kSaid) {
        if (fault != status.fault)
            continue;
        // The stream's message is its English sentence, then the library's words in brackets.
        std::string said = msg(id, code);
        const std::string_view english = stream::stationFaultText(fault);
        if (status.message.starts_with(english))
            said += status.message.substr(english.size());
        return said;
    }
    return status.message;  // no fault, or one newer than these tables
}

std::string stationStatusText(const stream::StationStatus& status, std::string_view code) {
    using State = stream::StationStatus::State;
    const std::string why =
        status.message.empty() ? std::string() : ": " + stationFaultSaid(status, code);
    switch (status.state) {
        case State::connecting:
            // Connecting again after a failed attempt: why it failed stays in sight.
            return why.empty() ? msg(Msg::StationConnecting, code)
                               : msg(Msg::StationRetrying, code, {why});
        case State::playing:
            return status.title.empty() ? msg(Msg::StationPlayingUntitled, code)
                                        : msg(Msg::StationPlaying, code, {status.title});
        case State::reconnecting:
            return msg(Msg::StationReconnecting, code, {why});
        case State::failed:
            return msg(Msg::StationFailed, code, {why});
    }
    return {};
}

std::string stationLagWarning(const stream::StationStatus& status, double delaySeconds,
                              std::string_view code) {
    // The player holds a little beside the lag: what it needs is kept free too.
    constexpr double kPlayerSeconds = 0.3;
    if (status.lagSeconds <= 0)
        return {};
    const double least = std::ceil((status.lagSeconds + kPlayerSeconds) * 10 - 1e-6) / 10;
    if (delaySeconds >= least - 1e-6)
        return {};
    char lag[16], delay[16];
    std::snprintf(lag, sizeof lag, "%.1f", std::ceil(status.lagSeconds * 10 - 1e-6) / 10);
    std::snprintf(delay, sizeof delay, "%.1f", least);
    return msg(Msg::StationLagWarning, code, {lag, delay});
}

}  // namespace una::app
