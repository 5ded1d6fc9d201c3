#include "app/stationEdits.h"

#include <algorithm>

#include "stream/stationList.h"
#include "stream/stationSoundCard.h"

namespace una::app {

namespace {

std::string trimmedText(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

// Letters of another case are the same name to a user picking from a list.
bool sameName(std::string_view a, std::string_view b) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

bool hasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace

std::string stationKey(std::string_view url) {
    return std::string(stream::kStationKeyPrefix) + std::string(url);
}

bool isStationKey(std::string_view key) {
    return key.starts_with(stream::kStationKeyPrefix);
}

StationEdits::StationEdits(std::vector<stream::Station> stations) : stations_(std::move(stations)) {
    for (const stream::Station& station : stations_)
        firstUrl_.push_back(station.url);
}

StationEdits::Result StationEdits::check(std::string& name, std::string& url, size_t skip) const {
    if (name.empty() || hasControl(name))
        return {Refusal::nameMissing, {}};
    // The settings file keeps each on one line.
    if (!stream::isStationAddress(url) || hasControl(url))
        return {Refusal::addressRefused, url};
    for (size_t i = 0; i < stations_.size(); ++i) {
        if (i == skip)
            continue;
        if (sameName(stations_[i].name, name))
            return {Refusal::nameTaken, stations_[i].name};
        if (stations_[i].url == url)
            return {Refusal::addressTaken, stations_[i].name};
    }
    return {};
}

StationEdits::Result StationEdits::add(std::string_view name, std::string_view url) {
    std::string trimmedName = trimmedText(name), trimmedUrl = trimmedText(url);
    Result result = check(trimmedName, trimmedUrl, stations_.size());
    if (result) {
        stations_.push_back({std::move(trimmedName), std::move(trimmedUrl)});
        firstUrl_.emplace_back();
    }
    return result;
}

StationEdits::Result StationEdits::change(size_t index, std::string_view name,
                                          std::string_view url) {
    if (index >= stations_.size())
        return {Refusal::nameMissing, {}};
    std::string trimmedName = trimmedText(name), trimmedUrl = trimmedText(url);
    Result result = check(trimmedName, trimmedUrl, index);
    if (result)
        stations_[index] = {std::move(trimmedName), std::move(trimmedUrl)};
    return result;
}

bool StationEdits::remove(size_t index) {
    if (index >= stations_.size())
        return false;
    stations_.erase(stations_.begin() + static_cast<std::ptrdiff_t>(index));
    firstUrl_.erase(firstUrl_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

std::string StationEdits::keyAfter(std::string_view key) const {
    if (!isStationKey(key))
        return std::string(key);
    const std::string_view url = key.substr(stream::kStationKeyPrefix.size());
    for (size_t i = 0; i < stations_.size(); ++i)
        if (firstUrl_[i] == url)
            return stationKey(stations_[i].url);
    for (const stream::Station& station : stations_)
        if (station.url == url)
            return std::string(key);
    return {};
}

}  // namespace una::app
