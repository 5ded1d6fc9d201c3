#include "app/texts.h"

#include <array>

namespace una::app {

namespace {

struct Entry {
    Msg id;
    const char* es;
    const char* en;
};

// Kept in the order of Msg, which the static_assert below and a test check.
constexpr std::array<Entry, static_cast<size_t>(Msg::Count)> kTable{{
    {Msg::RecorderFailed, "No se pudo abrir el dispositivo de entrada%1",
     "The recording device could not be opened%1"},
    {Msg::FileNotCreated, "No se pudo crear el fichero \"%1\"; no se está grabando nada",
     "The file \"%1\" could not be created; nothing is being saved"},
    {Msg::NoFileName, "No hay nombre de fichero; no se está grabando nada",
     "No file name given; nothing is being saved"},
    {Msg::HoldStreamMissing, "No se pudo crear el búfer del retraso; no se reproducirá nada",
     "The delay buffer could not be made; nothing will be played"},
    {Msg::PlaybackFailed, "No se pudo abrir el dispositivo de salida%1; no se reproduce nada",
     "The playback device could not be opened%1; nothing is being played"},
    {Msg::MixerFailed,
     "No se pudo poner en marcha el mezclador%1; no se reproduce nada ni se retiene audio",
     "The mixer could not be started%1; nothing is being played or held"},
    {Msg::OutFormatLocked,
     "El formato de reproducción no puede cambiar mientras dura el retraso; pare primero",
     "The playback format cannot change while the delay runs; stop first"},
    {Msg::DelayDownHint, "Retraso 0,1 s más corto (Ctrl+-)", "Delay 0.1 s shorter (Ctrl+-)"},
    {Msg::DelayUpHint, "Retraso 0,1 s más largo (Ctrl++)", "Delay 0.1 s longer (Ctrl++)"},
    {Msg::DelayHeard, "Retraso oído: %1 s", "Delay heard: %1 s"},
}};

constexpr bool inOrder() {
    for (size_t i = 0; i < kTable.size(); ++i)
        if (static_cast<size_t>(kTable[i].id) != i)
            return false;
    return true;
}
static_assert(inOrder(), "the table must follow the order of Msg");

}  // namespace

bool isEnglish(std::string_view languageCode) {
    return languageCode == "uk";
}

std::string msg(Msg id, std::string_view languageCode,
                std::initializer_list<std::string_view> args) {
    const auto index = static_cast<size_t>(id);
    if (index >= kTable.size())
        return {};
    const std::string_view text = isEnglish(languageCode) ? kTable[index].en : kTable[index].es;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
            const auto arg = static_cast<size_t>(text[i + 1] - '1');
            if (arg < args.size()) {
                out += *(args.begin() + arg);
                ++i;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace una::app
