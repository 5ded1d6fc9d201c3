#pragma once
// The encodings a recording can be saved in: PCM as recorded, or compressed by one of the
// built-in drivers. Names as the command line and the settings file spell them. Pure
// functions, any thread.

#include <cstdint>
#include <optional>
#include <string_view>

namespace una::app {

enum class SaveEncoding { Pcm, ImaAdpcm, Gsm, Ulaw, Alaw };

inline constexpr SaveEncoding kAllSaveEncodings[] = {SaveEncoding::Pcm, SaveEncoding::ImaAdpcm,
                                                     SaveEncoding::Gsm, SaveEncoding::Ulaw,
                                                     SaveEncoding::Alaw};

// "pcm", "ima-adpcm", "gsm", "ulaw", "alaw".
std::string_view saveEncodingName(SaveEncoding encoding);
// The encoding of a name (case-insensitive, surrounding blanks ignored); none for others.
std::optional<SaveEncoding> parseSaveEncoding(std::string_view name);
// What the user sees in the list: "PCM", "IMA ADPCM (4:1)", "GSM 6.10 (8 kHz mono)" ...
std::string_view saveEncodingCaption(SaveEncoding encoding);
// The WAV format tag: 1, 0x11, 0x31, 7, 6.
uint32_t saveEncodingTag(SaveEncoding encoding);

}  // namespace una::app
