// Writes delay-finder test pairs as WAV files:
//   make_pairs FOLDER [COUNT] [SECONDS]
// FOLDER/pair-NNN-radio.wav and pair-NNN-tv.wav, and FOLDER/lags.txt with one line per pair:
// its number, the true lag in seconds (or "none" for two different matches) and how it was made.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tools/stadiumPairs.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_pairs FOLDER [COUNT] [SECONDS]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const int count = argc > 2 ? std::atoi(argv[2]) : 10;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 60;
    std::ofstream list(folder + "/lags.txt");
    if (!list) {
        std::fprintf(stderr, "make_pairs: cannot write into %s\n", folder.c_str());
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        const una::pairs::PairSpec recipe = una::pairs::variedSpec(static_cast<uint64_t>(i), seconds);
        const una::pairs::Pair pair = una::pairs::makePair(recipe);
        char name[32];
        std::snprintf(name, sizeof name, "pair-%03d", i);
        if (!una::pairs::writeWav16(folder + "/" + name + "-radio.wav", pair.radio) ||
            !una::pairs::writeWav16(folder + "/" + name + "-tv.wav", pair.tv)) {
            std::fprintf(stderr, "make_pairs: cannot write %s\n", name);
            return 1;
        }
        list << name << ' ' << (recipe.shared ? std::to_string(pair.trueLagSeconds) : "none")
             << " radio " << recipe.radioRate << " Hz, tv " << pair.tv.sampleRate << " Hz, codec "
             << static_cast<int>(recipe.tvCodec) << ", " << recipe.tvClockPpm << " ppm"
             << (recipe.room ? ", room" : "") << (recipe.ownPlaybackLagSeconds ? ", own playback" : "")
             << '\n';
    }
    return 0;
}
