#pragma once
// The texts of the input-selection window as it is designed (before any language is applied),
// and the messages it shows.

namespace una::app::inputTexts {

inline constexpr char kCaption[] = "Seleccionar Entrada";
inline constexpr char kMixerListLabel[] = "Entrada:";
inline constexpr char kPlaybackLine[] = "Playback Line";
inline constexpr char kRecordingLine[] = "Recording Source Line";
inline constexpr char kMicForce[] = "Force to Microphone";
inline constexpr char kRecordingSourceLabel[] = "Dispositivo entrada";
inline constexpr char kInMute[] = "Mu&ted";
inline constexpr char kOutMute[] = "&Muted";
inline constexpr char kLeft[] = "Left";
inline constexpr char kRight[] = "Right";
inline constexpr char kRecord[] = "Prue&ba";
inline constexpr char kStop[] = "&Parar";
inline constexpr char kMixerHint[] = "Control Mixer";
inline constexpr char kMixerPicture[] = "Control \nMixer";

inline constexpr char kNoSuchLine[] = "No such line";
inline constexpr char kUntitledLine[] = "<Untitled Line>";

inline constexpr char kRecordingDisabled[] = "Recording will be disabled";
inline constexpr char kNoWaveInDevice[] = "This mixer has no associated waveIn device.";
inline constexpr char kNoMixerSelected[] = "No mixer device was selected.";
inline constexpr char kUnableToOpen[] = "Unable to open waveIn device, error text: \r\n";
inline constexpr char kNoMixerPanel[] =
    "No recording volume panel was found. Install pavucontrol, or alsamixer and a terminal "
    "(x-terminal-emulator).";

}  // namespace una::app::inputTexts
