#include "stream/stationSoundCard.h"

#include "stream/stationList.h"
#include "stream/stationStatusBoard.h"
#include "stream/stationWaveStream.h"

namespace una::stream {

using platform::MmResult;
using platform::WaveDirection;

std::string_view stationFaultText(StationFault fault) {
    switch (fault) {
        case StationFault::none: return {};
        case StationFault::notFound: return "the station's address was not found on its server (404)";
        case StationFault::accessDenied: return "the station's server refused access (401/403)";
        case StationFault::rejected: return "the station's server rejected the request";
        case StationFault::serverError: return "the station's server has a fault (5xx)";
        case StationFault::refused: return "the station's server refused the connection";
        case StationFault::unresolved: return "the station's host name cannot be found";
        case StationFault::unreachable: return "the station cannot be reached";
        case StationFault::timeout: return "the station's server did not answer in time";
        case StationFault::silent: return "the station sent nothing for more than 2 s";
        case StationFault::ended: return "the station ended its stream";
        case StationFault::webPage: return "the address is a web page, not a stream";
        case StationFault::notAStream:
            return "the address sends no sound this program can play (not a stream)";
        case StationFault::undecodable: return "the station sends data that cannot be decoded";
        case StationFault::notWebAddress:
            return "the address leads to something other than a web address";
        case StationFault::playlistLoop: return "the station's playlists lead in a circle or too deep";
        case StationFault::playlistEmpty:
            return "the station's playlist holds no web address of a stream";
    }
    return {};
}

StationSoundCard::StationSoundCard(std::shared_ptr<platform::SoundCard> inner)
    : inner_(std::move(inner)) {}

StationSoundCard::~StationSoundCard() = default;

void StationSoundCard::setStations(std::vector<Station> stations) {
    std::vector<Station> usable = usableStations(stations);
    std::lock_guard lock(m_);
    stations_ = std::move(usable);
}

std::vector<Station> StationSoundCard::stations() const {
    std::lock_guard lock(m_);
    return stations_;
}

std::optional<Station> StationSoundCard::stationOf(int32_t deviceId) {
    const int64_t index =
        int64_t(deviceId) - int64_t(inner_->deviceCount(WaveDirection::input));
    std::lock_guard lock(m_);
    if (deviceId < 0 || index < 0 || index >= int64_t(stations_.size()))
        return std::nullopt;
    return stations_[size_t(index)];
}

std::optional<StationStatus> StationSoundCard::inputStatus() const {
    std::shared_ptr<StationStatusBoard> board;
    {
        std::lock_guard lock(m_);
        board = openStatus_.lock();
    }
    if (!board)
        return std::nullopt;
    return board->read();
}

uint32_t StationSoundCard::deviceCount(WaveDirection direction) {
    const uint32_t count = inner_->deviceCount(direction);
    if (direction == WaveDirection::output)
        return count;
    std::lock_guard lock(m_);
    return count + static_cast<uint32_t>(stations_.size());
}

MmResult StationSoundCard::caps(WaveDirection direction, int32_t deviceId,
                                platform::WaveCaps& caps) {
    if (direction == WaveDirection::input) {
        if (const std::optional<Station> station = stationOf(deviceId)) {
            caps = {};
            // Names are UTF-8; the caps' wide field takes them byte for byte where ASCII.
            for (unsigned char c : station->name.substr(0, platform::kWaveCapsNameMax))
                caps.name += static_cast<wchar_t>(c < 0x80 ? c : L'?');
            caps.channels = 2;
            caps.formats = platform::kWaveFormat4S16 | platform::kWaveFormat48S16 |
                           platform::kWaveFormat4M16 | platform::kWaveFormat48M16;
            return platform::kMmNoError;
        }
    }
    return inner_->caps(direction, deviceId, caps);
}

MmResult StationSoundCard::open(WaveDirection direction, int32_t deviceId,
                                const platform::WaveFormatEx& format,
                                platform::EventHandle toSignal, uint32_t flags,
                                std::unique_ptr<platform::WaveStream>& out) {
    if (direction == WaveDirection::input) {
        if (const std::optional<Station> station = stationOf(deviceId)) {
            const bool pcm = format.formatTag == 1 &&
                             (format.bitsPerSample == 8 || format.bitsPerSample == 16 ||
                              format.bitsPerSample == 32) &&
                             format.channels >= 1 && format.channels <= 8 &&
                             format.samplesPerSec >= 8000 && format.samplesPerSec <= 192000;
            if (!pcm)
                return platform::kWaveErrBadFormat;
            if (flags & platform::kWaveFormatQuery)
                return platform::kMmNoError;
            auto board = std::make_shared<StationStatusBoard>();
            out = std::make_unique<StationWaveStream>(station->url, format, std::move(toSignal),
                                                      board);
            std::lock_guard lock(m_);
            openStatus_ = board;
            return platform::kMmNoError;
        }
    }
    return inner_->open(direction, deviceId, format, std::move(toSignal), flags, out);
}

std::optional<std::string> StationSoundCard::errorText(WaveDirection direction, MmResult code) {
    return inner_->errorText(direction, code);
}

std::vector<platform::DeviceInfo> StationSoundCard::deviceList(WaveDirection direction) {
    std::vector<platform::DeviceInfo> list = inner_->deviceList(direction);
    if (direction == WaveDirection::input) {
        std::lock_guard lock(m_);
        for (const Station& station : stations_)
            list.push_back({std::string(kStationKeyPrefix) + station.url, station.name});
    }
    return list;
}

}  // namespace una::stream

namespace una::stream {

std::shared_ptr<StationSoundCard> installStationSoundCard(std::vector<Station> stations) {
    std::shared_ptr<platform::SoundCard> current = platform::soundCard();
    auto card = std::dynamic_pointer_cast<StationSoundCard>(current);
    if (!card) {
        card = std::make_shared<StationSoundCard>(current);
        platform::setSoundCard(card);
    }
    card->setStations(std::move(stations));
    return card;
}

std::shared_ptr<StationSoundCard> installStationSoundCard(unaIniAbstractStorage& ini) {
    return installStationSoundCard(loadStations(ini));
}

}  // namespace una::stream
