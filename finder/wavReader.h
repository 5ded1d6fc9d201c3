#pragma once
// Reads a WAV file the program can read (PCM of 8, 16, 24 or 32 bits, or a format one of its
// codecs decodes: IMA ADPCM, GSM 6.10, u-law, A-law) into mono samples for the delay finder.
// Goes through the program's own RIFF reader and codec layer, whose workers it starts and
// stops before it returns. Safe from any thread; each call has its own reader.

#include <string>
#include <string_view>
#include <vector>

namespace una::finder {

struct WavAudio {
    std::vector<float> samples;  // mono: the channels' mean, in [-1, 1]
    int sampleRate = 0;
};

// Reads at most maxSeconds from the start. False with a one-line reason in `error` (which
// names the file) when the file cannot be opened or holds no audio this program can decode;
// `audio` is then empty.
bool readWavMono(std::string_view path, double maxSeconds, WavAudio& audio, std::string& error);

}  // namespace una::finder
