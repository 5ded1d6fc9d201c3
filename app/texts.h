#pragma once
// Every text the program shows, one table per language:
// - the designed captions and hints of the two windows (uiTexts), which only applyLanguage
//   switches, and the eight banner lines;
// - the sentences beyond them (Msg): status-bar messages, message boxes, hints and captions of
//   controls added later. msg() reads these: "uk" selects English; every other code, the empty
//   one included, Spanish, which is the program's own language.
// A widget whose caption or hint is a Msg entry follows the language switch once registered
// with followLanguage / followLanguageHint (app/language.h); texts made of several parts
// register a callback with onLanguageSwitch there.
// Pure data and functions: safe from any thread.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace una::app {

// One entry per sentence; add the Spanish and the English text of a new entry in the same
// change (texts.cpp keeps both tables in this order). Append new entries before Count.
enum class Msg : int {
    RecorderFailed,     // %1: ": " + the device's text, or nothing
    FileNotCreated,     // %1: the file name
    NoFileName,
    HoldStreamMissing,
    PlaybackFailed,     // %1: ": " + the device's text, or nothing

    // The input-selection window.
    NoSuchLine,
    UntitledLine,
    RecordingDisabled,  // caption of the two messages below
    NoWaveInDevice,
    NoMixerSelected,
    UnableToOpenWaveIn,  // followed by the device's text
    MixerPicture,
    NoMixerPanel,

    // The main window.
    FolderMissing,      // %1: the folder
    InputSelectHint,
    ChooseFileHint,
    ChoosePlaybackFormat,
    ChooseRecordingFormat,
    RestartNeeded,
    LoadSkinTitle,
    RestoreHint,
    LogoHint,

    // The format dialog.
    SampleRate,
    BitsPerSample,
    Channels,
    NoFormatAccepted,
    FormatRefused,      // %1: the format

    SavedOutMissing,    // %1: the saved playback device's name
    SavedInMissing,     // %1: the saved recording device's name
    OutputLost,         // %1: the playback device's name
    InputLost,          // %1: the recording device's name

    UpdateFileNotCreated,     // %1: the file name
    UpdateDownloadFailed,     // %1: the file name
    UpdateDownloadIncomplete, // %1: the file name
    UpdateDownloadTooLarge,   // %1: the file name
    UpdaterNotStarted,        // %1: the file name
    UpdateNameIsLink,         // %1: the file name

    // The WAV file's encoding.
    EncodingUnavailable,  // %1: the encoding's caption
    SaveEncodingHint,

    // The delay heard and its adjustment; the chain's own problems.
    MixerFailed,        // %1: ": " + the device's text, or nothing
    OutFormatLocked,
    DelayDownHint,
    DelayUpHint,
    DelayHeard,         // %1: the delay heard, seconds with three decimals, or "-"

    // The phone remote: its page, then its panel in the window.
    RemotePageTitle,
    RemoteDelay,
    RemoteHeard,
    RemoteSet,
    RemoteStart,
    RemoteStop,
    RemoteStateStopped,
    RemoteStateDelaying,
    RemoteStateRunning,
    RemoteStateRecording,
    RemoteConnectionLost,
    RemoteRefused,
    RemoteMenu,
    RemoteEnable,
    RemoteHomeNetwork,
    RemoteNewToken,
    RemoteOpenOnPhone,
    RemoteNotStarted,   // %1: why, one sentence
    RemoteOff,
    RemotePresetPick,

    // Steering the delay: taps, undo, presets.
    DelaySetTo,         // %1: the delay set, seconds
    TapRadioWaiting,
    TapTvWaiting,
    TapChanged,         // %1: the change, signed seconds; %2: the delay now
    TapChangedLimited,  // %1: the change; %2: the change measured; %3: the delay now
    TapUndone,          // %1: the delay now
    NothingToUndo,
    PresetMissing,      // %1: the name asked for
    PresetChosen,       // %1: the preset's name; %2: its delay
    TapRadioCaption,
    TapRadioHint,
    TapTvCaption,
    TapTvHint,
    TapUndoCaption,
    TapUndoHint,
    DelaySetLabel,      // %1: the delay set, seconds
    PresetListHint,
    PresetKeepCaption,
    PresetKeepHint,
    PresetForgetHint,
    PresetKept,         // %1: the name; %2: the delay
    PresetNameRefused,  // %1: what was typed
    PresetForgotten,    // %1: the name

    // Listening to the TV.
    SyncApplied,        // %1: the lag; %2: the confidence; %3: the delay now
    SyncNotClear,       // %1: the confidence
    SyncTooShort,
    SyncSilent,
    SyncClipped,
    SyncBeyondRange,    // %1: the lag
    SyncBadInput,
    SyncTvLost,         // %1: the device's name
    SyncRateRefused,    // %1: the rate in Hz; %2: the device's text
    SyncNeedsChain,
    SyncListening,      // %1: the device's name
    SyncLast,           // %1: the lag; %2: the confidence; %3: the time of day
    SyncNothingYet,
    SyncNotListening,
    SyncFollowOn,
    SyncFollowOff,
    SyncFollowMoved,    // %1: the lag; %2: the delay now
    SyncButtonCaption,
    SyncButtonHint,
    SyncDialogTitle,
    SyncDeviceLabel,
    SyncListenCaption,
    SyncMeasureCaption,
    SyncFollowCaption,
    SyncFollowHint,

    // Internet radio stations: their dialog, then what the recording format's place says
    // while one records.
    StationsHint,
    StationsTitle,
    StationNameLabel,
    StationAddressLabel,
    StationAddressHint,
    StationAddCaption,
    StationChangeCaption,
    StationRemoveCaption,
    StationCloseCaption,
    StationNameMissing,
    StationNameTaken,       // %1: the name
    StationAddressRefused,  // %1: what was typed
    StationAddressTaken,    // %1: the name of the station that has it
    StationNotSaved,        // %1: the settings file
    StationConnecting,
    StationPlaying,         // %1: the title the station sends
    StationPlayingUntitled,
    StationReconnecting,    // %1: ": " + why, or nothing
    StationFailed,          // %1: ": " + why, or nothing
    StationRetrying,        // %1: ": " + why the last attempt failed
    RemoteStateReconnecting,
    // Why a station fails, one per fault the stream tells of.
    StationFaultNotFound,
    StationFaultAccessDenied,
    StationFaultRejected,
    StationFaultServerError,
    StationFaultRefused,
    StationFaultUnresolved,
    StationFaultUnreachable,
    StationFaultTimeout,
    StationFaultSilent,
    StationFaultEnded,
    StationFaultWebPage,
    StationFaultNotAStream,
    StationFaultUndecodable,
    StationFaultNotWebAddress,
    StationFaultPlaylistLoop,
    StationFaultPlaylistEmpty,
    // What the sound server did to the running delay's devices.
    ServerGone,
    DeviceSuspended,    // %1: the device's name
    DeviceResumed,      // %1: the device's name
    PlaybackMoved,      // %1: the new default playback device's name
    RecordingMoved,     // %1: the new default recording device's name
    // The sound server, when it is slow to answer at start.
    ServerWaiting,      // %1: the server's address; %2: the longest wait, seconds
    ServerAnswered,
    ServerNotAnswering, // %1: the server's address
    ServerNotThere,     // %1: the server's address
    StationLagWarning,  // %1: the lag, seconds; %2: the least delay that holds it
    Count
};

// True for the language code that selects English.
bool isEnglish(std::string_view languageCode);

// The sentence in the language of the code, with %1, %2, ... replaced by the arguments in
// order (a placeholder without an argument stays as it is). An id out of range gives "".
std::string msg(Msg id, std::string_view languageCode,
                std::initializer_list<std::string_view> args = {});

// ---- the designed texts that applyLanguage switches

// The codes applyLanguage accepts; it compares exactly, so "ES" or "en" change nothing.
inline constexpr std::string_view kSpanish = "es";
inline constexpr std::string_view kEnglish = "uk";
bool isLanguageCode(std::string_view code);

enum class UiWindow { Main, Input };
enum class UiProperty {
    Caption,  // a button's, label's, check box's or menu item's text; a window's title
    Hint,     // the tooltip
};

struct UiText {
    UiWindow window;
    std::string_view component;  // the objectName; the window's own for its title
    UiProperty property;
    // What the control shows before any language is applied; none: what it was built with
    // (a button's hint taken from its action).
    const char* design;
    std::string_view es;
    std::string_view uk;

    std::string_view text(std::string_view code) const { return code == kEnglish ? uk : es; }
};

// Every designed text of both windows, main window first.
std::span<const UiText> uiTexts();

// Banner line `line` (0 to kBannerLines - 1, app/meters.h) for a code: line 0 is the web
// site's address in both languages; "" for a line out of range.
std::string bannerText(uint32_t line, std::string_view code);

}  // namespace una::app
