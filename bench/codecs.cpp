// The compressed WAV encodings: encoding and decoding speed of each built-in codec in seconds
// of audio per second of CPU time, the size of an hour of recording, and what keeping the WAV
// header true on the disk costs (the sync and size patch the writer makes twice a second).
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "foundation/unaStream.h"
#include "foundation/unaTime.h"
#include "platform/builtinCompression.h"

using namespace platform;

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Case {
    const char* name;
    uint32_t tag;
    uint32_t rate;
    uint32_t channels;
};

FormatBytes suggested(BuiltinCompression& acm, const FormatBytes& pcm, uint32_t tag) {
    FormatBytes out(64, 0);
    asFormat(out).formatTag = static_cast<uint16_t>(tag);
    asFormat(out).extraSize = 46;
    asFormat(out).samplesPerSec = asFormat(pcm).samplesPerSec;
    acm.formatSuggest(0, &asFormat(pcm), &asFormat(out), 64,
                      kAcmFormatSuggestWFormatTag | kAcmFormatSuggestNSamplesPerSec);
    return out;
}

// Converts seconds of src through a fresh stream in chunks of about 40 ms; bytes out.
std::vector<uint8_t> convertAll(BuiltinCompression& acm, const WaveFormatEx& from,
                                const WaveFormatEx& to, const std::vector<uint8_t>& input,
                                double& cpu) {
    AcmId stream = 0;
    if (acm.streamOpen(stream, 0, &from, &to, nullptr, 0, 0, 0) != 0)
        return {};
    uint32_t chunk = from.avgBytesPerSec / 25;
    uint32_t blocks = 0;
    if (acm.streamSize(stream, chunk, blocks, 0) == 0)
        acm.streamSize(stream, blocks, chunk, kAcmStreamSizeDestination);
    uint32_t outChunk = 0;
    acm.streamSize(stream, chunk, outChunk, 0);
    std::vector<uint8_t> output;
    std::vector<uint8_t> dst(outChunk);
    AcmStreamHeader header;
    uint32_t flags = kAcmConvertStart | kAcmConvertBlockAlign;
    const double start = cpuSeconds();
    for (size_t at = 0; at + chunk <= input.size(); at += chunk) {
        header = AcmStreamHeader{};
        header.source = const_cast<uint8_t*>(input.data() + at);
        header.sourceLength = chunk;
        header.destination = dst.data();
        header.destinationLength = outChunk;
        acm.streamPrepareHeader(stream, header, 0);
        acm.streamConvert(stream, header, flags);
        flags = kAcmConvertBlockAlign;
        output.insert(output.end(), dst.begin(), dst.begin() + header.destinationLengthUsed);
        acm.streamUnprepareHeader(stream, header, 0);
    }
    cpu = cpuSeconds() - start;
    acm.streamClose(stream, 0);
    return output;
}

void benchCodec(BuiltinCompression& acm, const Case& c, double seconds) {
    const FormatBytes pcm = pcmRecord(c.rate, 16, c.channels);
    const FormatBytes coded = suggested(acm, pcm, c.tag);
    const size_t frames = static_cast<size_t>(c.rate * seconds);
    std::vector<uint8_t> input(frames * c.channels * 2);
    auto* samples = reinterpret_cast<int16_t*>(input.data());
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t ch = 0; ch < c.channels; ++ch)
            samples[i * c.channels + ch] = static_cast<int16_t>(
                9000 * std::sin(2 * M_PI * (300.0 + 150 * ch) * i / c.rate) +
                3000 * std::sin(2 * M_PI * 2200.0 * i / c.rate));
    double encodeCpu = 0, decodeCpu = 0;
    const auto encoded = convertAll(acm, asFormat(pcm), asFormat(coded), input, encodeCpu);
    convertAll(acm, asFormat(coded), asFormat(pcm), encoded, decodeCpu);
    const double hourMb = asFormat(coded).avgBytesPerSec * 3600.0 / 1e6;
    std::printf("%-24s encode %8.0f  decode %8.0f audio s per CPU s   %7.1f MB per hour\n", c.name,
                seconds / encodeCpu, seconds / decodeCpu, hourMb);
}

// The writer's patch: make the data durable, then rewrite two 4-byte size fields.
void benchPatch() {
    const std::string name =
        (std::filesystem::temp_directory_path() / ("patch_bench_" + std::to_string(getpid()))).string();
    auto file = una::make<una::unaFileStream>();
    if (!file->open(name))
        return;
    std::vector<uint8_t> halfSecond(88200, 7);  // half a second of 44.1 kHz stereo
    double total = 0, worst = 0;
    const int rounds = 20;
    for (int i = 0; i < rounds; ++i) {
        file->write(halfSecond.data(), static_cast<uint32_t>(halfSecond.size()));
        const int64_t mark = una::markTime();
        file->sync();
        const uint8_t size[4] = {1, 2, 3, 4};
        file->seek(4, true);
        file->write(size, 4);
        file->seek(40, true);
        file->write(size, 4);
        file->seek(0, false);
        const double ms = static_cast<double>(una::markTime() - mark) / 1e6;
        total += ms;
        worst = std::max(worst, ms);
    }
    file.reset();
    std::filesystem::remove(name);
    std::printf("WAV size patch (sync + 2 fields) every 500 ms: mean %.2f ms, worst %.2f ms "
                "(on the writer's own thread)\n",
                total / rounds, worst);
}

}  // namespace

int main() {
    BuiltinCompression acm;
    const double seconds = 60;
    std::printf("%.0f s of a two-tone signal per codec; PCM 44.1 kHz 16-bit stereo is %.1f MB per hour\n",
                seconds, 44100 * 4 * 3600.0 / 1e6);
    for (const Case& c : {Case{"IMA ADPCM 44.1k stereo", 0x11, 44100, 2},
                          Case{"u-law 44.1k stereo", 7, 44100, 2},
                          Case{"A-law 44.1k stereo", 6, 44100, 2},
                          Case{"GSM 6.10 8k mono", 0x31, 8000, 1}})
        benchCodec(acm, c, seconds);
    benchPatch();
    return 0;
}
