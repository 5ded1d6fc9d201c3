#pragma once
// The sound card with the user's stations after its recording devices: output devices and
// input devices 0..n-1 are the inner card's, input devices n..n+m-1 are the stations in list
// order. A station opened for recording is decoded from the network and handed over in the
// queued buffers as a card would record it.
//
// Every operation is safe from any thread; the station list and the open station's status are
// guarded by a mutex of the card's own.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/soundCard.h"
#include "stream/station.h"

namespace una::stream {

// Why a station could not be heard; the window says it in the user's language.
enum class StationFault {
    none,
    notFound,       // 404
    accessDenied,   // 401, 403
    rejected,       // another 4xx
    serverError,    // 5xx
    refused,        // the connection was refused
    unresolved,     // the host name does not resolve
    unreachable,    // another network error
    timeout,        // no answer in time
    silent,         // the stream stalled for more than 2 s
    ended,          // the server ended the stream
    webPage,        // an HTML page
    notAStream,     // no sound that can be played
    undecodable,    // garbage where sound should be
    notWebAddress,  // led to something other than http(s)
    playlistLoop,   // playlists in a circle or too deep
    playlistEmpty,  // a playlist without a stream's address
};

// The fault in English, as the headless status lines say it.
std::string_view stationFaultText(StationFault fault);

// What the open station is doing, for the user.
struct StationStatus {
    enum class State { connecting, playing, reconnecting, failed } state = State::connecting;
    std::string title;    // the station's StreamTitle, may be empty
    std::string message;  // the last fault or reason for reconnecting, in English; may be empty
    StationFault fault = StationFault::none;  // the fault message tells of
    // How far the newest audio lagged the live edge at worst over the last two minutes, in
    // seconds; a delay shorter than that runs dry now and then. 0 until measured.
    double lagSeconds = 0;
};

// Shared between a station's stream and the card that reports on it.
class StationStatusBoard;

inline constexpr std::string_view kStationKeyPrefix = "station:";

class StationSoundCard : public platform::SoundCard {
  public:
    explicit StationSoundCard(std::shared_ptr<platform::SoundCard> inner);
    ~StationSoundCard() override;

    void setStations(std::vector<Station> stations);
    std::vector<Station> stations() const;
    // The card the stations are put behind.
    const std::shared_ptr<platform::SoundCard>& inner() const { return inner_; }

    // The station an input device id stands for; none for the inner card's devices.
    std::optional<Station> stationOf(int32_t deviceId);

    // The status of the station stream opened last while it is open; none otherwise.
    std::optional<StationStatus> inputStatus() const;

    uint32_t deviceCount(platform::WaveDirection direction) override;
    platform::MmResult caps(platform::WaveDirection direction, int32_t deviceId,
                            platform::WaveCaps& caps) override;
    // A station opens only for recording 8, 16 or 32-bit PCM; kWaveErrBadFormat otherwise.
    platform::MmResult open(platform::WaveDirection direction, int32_t deviceId,
                            const platform::WaveFormatEx& format, platform::EventHandle toSignal,
                            uint32_t flags, std::unique_ptr<platform::WaveStream>& out) override;
    std::optional<std::string> errorText(platform::WaveDirection direction,
                                         platform::MmResult code) override;
    std::vector<platform::DeviceInfo> deviceList(platform::WaveDirection direction) override;
    std::string backendName() const override { return inner_->backendName(); }
    // A station's recording runs on its own clock, not on the inner card's graph.
    bool streamsShareCycles(int32_t inputDeviceId) override {
        return !stationOf(inputDeviceId) && inner_->streamsShareCycles(inputDeviceId);
    }

  private:
    const std::shared_ptr<platform::SoundCard> inner_;
    mutable std::mutex m_;
    std::vector<Station> stations_;                  // under m_
    std::weak_ptr<StationStatusBoard> openStatus_;  // under m_
};

}  // namespace una::stream

namespace una {
class unaIniAbstractStorage;
}

namespace una::stream {

// Puts the stations kept in ini behind the process-wide card, once: a card that already has
// them gets the list afresh. The card installed.
std::shared_ptr<StationSoundCard> installStationSoundCard(unaIniAbstractStorage& ini);
// The same with stations already read.
std::shared_ptr<StationSoundCard> installStationSoundCard(std::vector<Station> stations);

}  // namespace una::stream
