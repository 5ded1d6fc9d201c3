#include "tools/stadiumPairs.h"

extern "C" {
#include <gsm.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <random>
#include <string_view>

#include "finder/resampler.h"

namespace una::pairs {
namespace {

constexpr int kRate = 24000;  // everything is made at this rate, then converted per side
constexpr double kTwoPi = 2 * std::numbers::pi;

using Rng = std::mt19937_64;

double uniform(Rng& rng, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

struct Biquad {
    float b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0, z1 = 0, z2 = 0;
    float run(float x) {
        const float y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

enum class Kind { LowPass, HighPass, BandPass };

Biquad biquad(Kind kind, double freq, double q, double rate = kRate) {
    const double w = kTwoPi * std::min(freq, 0.45 * rate) / rate;
    const double alpha = std::sin(w) / (2 * q), c = std::cos(w), a0 = 1 + alpha;
    double b0, b1, b2;
    switch (kind) {
        case Kind::LowPass: b0 = (1 - c) / 2; b1 = 1 - c; b2 = b0; break;
        case Kind::HighPass: b0 = (1 + c) / 2; b1 = -(1 + c); b2 = b0; break;
        default: b0 = alpha; b1 = 0; b2 = -alpha; break;
    }
    Biquad f;
    f.b0 = static_cast<float>(b0 / a0);
    f.b1 = static_cast<float>(b1 / a0);
    f.b2 = static_cast<float>(b2 / a0);
    f.a1 = static_cast<float>(-2 * c / a0);
    f.a2 = static_cast<float>((1 - alpha) / a0);
    return f;
}

void scaleToRms(std::vector<float>& x, double rms) {
    double e = 0;
    for (float v : x) e += static_cast<double>(v) * v;
    if (e <= 0) return;
    const auto g = static_cast<float>(rms / std::sqrt(e / static_cast<double>(x.size())));
    for (float& v : x) v *= g;
}

// Something that happens now and then: start times with gaps drawn from [lo, hi] s.
std::vector<double> moments(Rng& rng, double seconds, double lo, double hi) {
    std::vector<double> at;
    for (double t = uniform(rng, 0, hi); t < seconds; t += uniform(rng, lo, hi)) at.push_back(t);
    return at;
}

std::vector<float> stadium(uint64_t seed, double seconds) {
    Rng rng(seed * 0x9E3779B97F4A7C15ull + 1);
    std::normal_distribution<float> white(0, 1);
    const auto n = static_cast<size_t>(seconds * kRate);
    std::vector<float> out(n);

    // The crowd's bed: pinkish noise whose level swells, with a roar now and then.
    {
        Biquad hp = biquad(Kind::HighPass, 120, 0.7), lp = biquad(Kind::LowPass, 3500, 0.7);
        float pink = 0, level = 1, target = 1;
        std::vector<std::pair<double, double>> roars;
        for (double t : moments(rng, seconds, 25, 90)) roars.emplace_back(t, uniform(rng, 3, 8));
        for (size_t i = 0; i < n; ++i) {
            if (i % (kRate / 2) == 0) target = static_cast<float>(uniform(rng, 0.5, 1.5));
            level += (target - level) * (1.0f / (2.0f * kRate));
            const double t = static_cast<double>(i) / kRate;
            float roar = 1;
            for (const auto& [at, hold] : roars) {
                if (t < at || t > at + hold + 3) continue;
                const double rise = std::min(1.0, t - at), fall = std::clamp((at + hold + 3 - t) / 3, 0.0, 1.0);
                roar = static_cast<float>(1 + 2 * std::min(rise, fall));
            }
            pink = 0.97f * pink + 0.03f * white(rng) * 4;
            out[i] = lp.run(hp.run(0.5f * pink + 0.5f * white(rng))) * level * roar * 0.1f;
        }
    }
    // Murmur: voices in the stands, band-limited noise at a syllable's pace.
    for (int voice = 0; voice < 6; ++voice) {
        Biquad bp = biquad(Kind::BandPass, uniform(rng, 300, 1200), 3);
        const double rate = uniform(rng, 2.5, 5), phase = uniform(rng, 0, kTwoPi);
        for (size_t i = 0; i < n; ++i) {
            const double am = 0.5 + 0.5 * std::sin(kTwoPi * rate * static_cast<double>(i) / kRate + phase);
            out[i] += bp.run(white(rng)) * static_cast<float>(am) * 0.04f;
        }
    }
    // The referee's whistle: a trilled tone near 3 kHz.
    for (double at : moments(rng, seconds, 8, 40)) {
        const double length = uniform(rng, 0.2, 1.0), f = uniform(rng, 2700, 3500), trill = uniform(rng, 25, 35);
        const auto first = static_cast<size_t>(at * kRate);
        for (size_t i = first; i < std::min(n, first + static_cast<size_t>(length * kRate)); ++i) {
            const double t = static_cast<double>(i - first) / kRate;
            const double ramp = std::min({1.0, t / 0.01, (length - t) / 0.01});
            out[i] += static_cast<float>(0.12 * ramp * (0.6 + 0.4 * std::sin(kTwoPi * trill * t)) *
                                         std::sin(kTwoPi * f * t));
        }
    }
    // Chants: clapping on the beat and a sung line, for a few bars at a time.
    for (double at : moments(rng, seconds, 20, 60)) {
        const double length = uniform(rng, 8, 16), beat = 1 / uniform(rng, 1.6, 2.4);
        Biquad clapBand = biquad(Kind::BandPass, 1500, 1);
        static constexpr double kNotes[] = {220, 247, 262, 294, 330};
        for (double b = 0; b < length; b += beat) {
            const auto first = static_cast<size_t>((at + b) * kRate);
            const double note = kNotes[std::uniform_int_distribution<int>(0, 4)(rng)];
            for (size_t i = first; i < std::min(n, first + static_cast<size_t>(beat * kRate)); ++i) {
                const double t = static_cast<double>(i - first) / kRate;
                float sung = 0;
                for (double detune : {0.99, 1.0, 1.012})
                    for (int k = 1; k <= 4; ++k)
                        sung += static_cast<float>(std::sin(kTwoPi * note * detune * k * t) / k);
                const double clap = t < 0.02 ? std::exp(-t / 0.006) : 0;
                out[i] += 0.02f * sung * static_cast<float>(std::min(1.0, t / 0.03)) +
                          clapBand.run(white(rng) * static_cast<float>(clap)) * 0.5f;
            }
        }
    }
    // Kicks: a dull thump with a click.
    for (double at : moments(rng, seconds, 1.5, 6)) {
        const double f = uniform(rng, 80, 120);
        const auto first = static_cast<size_t>(at * kRate);
        for (size_t i = first; i < std::min(n, first + static_cast<size_t>(0.2 * kRate)); ++i) {
            const double t = static_cast<double>(i - first) / kRate;
            out[i] += static_cast<float>(0.3 * std::exp(-t / 0.05) * std::sin(kTwoPi * f * t) +
                                         (t < 0.003 ? 0.2 * white(rng) : 0));
        }
    }
    scaleToRms(out, 0.1);
    return out;
}

// Speech from espeak-ng, or nothing when it cannot be run.
std::vector<float> espeak(std::string_view voice, int speed, int pitch, const std::string& text) {
    const std::string command = "espeak-ng -v " + std::string(voice) + " -s " + std::to_string(speed) +
                                " -p " + std::to_string(pitch) + " --stdout '" + text + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + got);
    ::pclose(pipe);
    if (bytes.size() < 44 || std::string_view(reinterpret_cast<const char*>(bytes.data()), 4) != "RIFF")
        return {};
    const int rate = bytes[24] | bytes[25] << 8 | bytes[26] << 16 | bytes[27] << 24;
    size_t at = 12;
    while (at + 8 <= bytes.size() &&
           std::string_view(reinterpret_cast<const char*>(bytes.data() + at), 4) != "data") {
        const uint32_t size = bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 |
                              static_cast<uint32_t>(bytes[at + 7]) << 24;
        at += 8 + size;
    }
    at += 8;
    std::vector<float> pcm;
    for (; at + 1 < bytes.size(); at += 2)
        pcm.push_back(static_cast<float>(static_cast<int16_t>(bytes[at] | bytes[at + 1] << 8)) / 32768.0f);
    if (rate <= 0) return {};
    return finder::resample(pcm, rate, kRate);
}

constexpr std::string_view kSpanishWords[] = {
    "balón", "portero", "gol", "delantero", "pase", "área", "falta", "córner", "remate",
    "defensa", "centro", "jugada", "contraataque", "árbitro", "tarjeta", "minuto", "campo",
    "banda", "disparo", "palo", "equipo", "afición", "estadio", "penalti", "cabezazo"};
constexpr std::string_view kEnglishWords[] = {
    "ball", "keeper", "goal", "striker", "pass", "box", "foul", "corner", "header", "defender",
    "cross", "chance", "counter", "referee", "card", "minute", "pitch", "wing", "shot", "post",
    "team", "crowd", "stadium", "penalty", "volley"};

// Somebody who talks like a commentator: no speech synthesiser, so vowels from a buzzing
// pitch through two formants, in syllables and sentences.
std::vector<float> babble(Rng& rng, double seconds) {
    std::normal_distribution<float> white(0, 1);
    const auto n = static_cast<size_t>(seconds * kRate);
    std::vector<float> out(n);
    const double f0 = uniform(rng, 100, 200);
    double phase = 0, sentenceEnd = uniform(rng, 2, 6), pauseEnd = 0;
    Biquad f1, f2;
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        if (i % (kRate / 6) == 0) {
            f1 = biquad(Kind::BandPass, uniform(rng, 300, 800), 8);
            f2 = biquad(Kind::BandPass, uniform(rng, 900, 2300), 10);
        }
        if (t > sentenceEnd) {
            pauseEnd = t + uniform(rng, 0.3, 1.5);
            sentenceEnd = pauseEnd + uniform(rng, 2, 6);
        }
        if (t < pauseEnd) continue;
        phase += f0 * (1 + 0.1 * std::sin(kTwoPi * 0.7 * t)) / kRate;
        const float pulse = phase >= 1 ? (phase -= 1, 1.0f) : 0.0f;
        const float source = pulse + 0.05f * white(rng);
        const double syllable = 0.5 + 0.5 * std::sin(kTwoPi * 4 * t);
        out[i] = (f1.run(source) + 0.6f * f2.run(source)) * static_cast<float>(syllable);
    }
    return out;
}

std::vector<float> commentator(uint64_t seed, bool radio, double seconds) {
    Rng rng(seed * 0xD1B54A32D192ED03ull + (radio ? 7 : 11));
    static constexpr std::string_view kRadioVoices[] = {"es", "es+m3", "es-419"};
    static constexpr std::string_view kTvVoices[] = {"en", "en+f3", "de", "it", "fr+m2"};
    const std::string_view voice = radio ? kRadioVoices[rng() % 3] : kTvVoices[rng() % 5];
    const auto& words = radio ? kSpanishWords : kEnglishWords;
    const int speed = static_cast<int>(uniform(rng, 150, 200)), pitch = static_cast<int>(uniform(rng, 30, 70));
    const auto n = static_cast<size_t>(seconds * kRate);
    std::vector<float> out;
    out.reserve(n);
    while (out.size() < n) {
        std::string text;
        for (int sentence = 0; sentence < 3; ++sentence) {
            const int count = static_cast<int>(uniform(rng, 4, 12));
            for (int w = 0; w < count; ++w) text += std::string(words[rng() % std::size(kSpanishWords)]) + " ";
            text += ". ";
        }
        std::vector<float> speech = espeak(voice, speed, pitch, text);
        if (speech.empty()) {
            speech = babble(rng, seconds);
            speech.resize(n);
            scaleToRms(speech, 0.1);
            return speech;
        }
        out.insert(out.end(), speech.begin(), speech.end());
        out.insert(out.end(), static_cast<size_t>(uniform(rng, 0.2, 1.5) * kRate), 0.0f);
    }
    out.resize(n);
    scaleToRms(out, 0.1);
    return out;
}

float uLaw(float x) {
    // G.711's curve, 8 bits: what a u-law file keeps of a sample.
    constexpr float mu = 255;
    const float y = std::copysign(std::log1p(mu * std::min(std::abs(x), 1.0f)) / std::log1p(mu), x);
    const float q = std::round(y * 127) / 127;
    return std::copysign((std::pow(1 + mu, std::abs(q)) - 1) / mu, q);
}

std::vector<float> throughGsm(const std::vector<float>& x24) {
    std::vector<float> x = finder::resample(x24, kRate, 8000);
    gsm coder = gsm_create(), decoder = gsm_create();
    std::vector<float> y(x.size(), 0.0f);
    gsm_signal frame[160];
    gsm_frame packed;
    for (size_t at = 0; at + 160 <= x.size(); at += 160) {
        for (size_t i = 0; i < 160; ++i)
            frame[i] = static_cast<gsm_signal>(std::clamp(x[at + i], -1.0f, 1.0f) * 32767);
        gsm_encode(coder, frame, packed);
        gsm_decode(decoder, packed, frame);
        for (size_t i = 0; i < 160; ++i) y[at + i] = static_cast<float>(frame[i]) / 32768.0f;
    }
    gsm_destroy(coder);
    gsm_destroy(decoder);
    std::vector<float> back = finder::resample(y, 8000, kRate);
    back.resize(x24.size());
    return back;
}

// A small room: four combs and two all-passes (Schroeder), about half a second to die away.
std::vector<float> reverberate(const std::vector<float>& x) {
    std::vector<float> wet(x.size(), 0.0f);
    for (double ms : {29.7, 37.1, 41.1, 43.7}) {
        const auto d = static_cast<size_t>(ms * kRate / 1000);
        const auto g = static_cast<float>(std::pow(10.0, -3 * ms / 1000 / 0.5));
        std::vector<float> line(x.size(), 0.0f);
        for (size_t i = 0; i < x.size(); ++i) {
            line[i] = x[i] + (i >= d ? g * line[i - d] : 0.0f);
            wet[i] += line[i] * 0.25f;
        }
    }
    for (double ms : {5.0, 1.7}) {
        const auto d = static_cast<size_t>(ms * kRate / 1000);
        std::vector<float> y(x.size(), 0.0f);
        for (size_t i = 0; i < x.size(); ++i)
            y[i] = -0.7f * wet[i] + (i >= d ? wet[i - d] + 0.7f * y[i - d] : 0.0f);
        wet.swap(y);
    }
    std::vector<float> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) out[i] = 0.6f * x[i] + 0.3f * wet[i];
    return out;
}

// The input's clock: sample j is taken at j * (1 + ppm) / rate of the signal at `rate`.
std::vector<float> clocked(const std::vector<float>& x, double ppm, double seconds, int rate) {
    std::vector<float> out(static_cast<size_t>(seconds * rate));
    const double step = 1 + ppm * 1e-6;
    for (size_t j = 0; j < out.size(); ++j) {
        const double pos = static_cast<double>(j) * step;
        const auto i = static_cast<size_t>(pos);
        const auto f = static_cast<float>(pos - static_cast<double>(i));
        auto at = [&](size_t k) { return k < x.size() ? x[k] : 0.0f; };
        const float p0 = i > 0 ? at(i - 1) : 0.0f, p1 = at(i), p2 = at(i + 1), p3 = at(i + 2);
        // Catmull-Rom: smooth enough once the signal sits well below Nyquist.
        out[j] = p1 + 0.5f * f * (p2 - p0 + f * (2 * p0 - 5 * p1 + 4 * p2 - p3 + f * (3 * (p1 - p2) + p3 - p0)));
    }
    return out;
}

void limit(std::vector<float>& x) {
    for (float& v : x) v = std::clamp(v, -1.0f, 1.0f);
}

}  // namespace

bool haveSpeech() {
    static const bool have = !espeak("en", 175, 50, "goal").empty();
    return have;
}

Pair makePair(const PairSpec& recipe) {
    const double ownLag = recipe.ownPlaybackLagSeconds.value_or(0);
    const double jump = recipe.jumpAtSeconds >= 0 ? std::max(0.0, recipe.jumpBySeconds) : 0.0;
    const double lead = std::max(recipe.lagSeconds + jump, ownLag) + 1;  // source time starts at -lead
    const double total = recipe.seconds + lead + 1;
    const auto toIndex = [&](double sourceSeconds) {
        return static_cast<int64_t>(std::llround((sourceSeconds + lead) * kRate));
    };
    const std::vector<float> match = stadium(recipe.seed, total);
    const std::vector<float> radioTalk = commentator(recipe.seed, true, total);
    // The radio's own microphones hear the stadium a little differently from the TV's.
    std::vector<float> radioMix(match.size());
    {
        Biquad tilt = biquad(Kind::HighPass, 200, 0.6);
        for (size_t i = 0; i < match.size(); ++i)
            radioMix[i] = 0.35f * (0.5f * match[i] + 0.5f * tilt.run(match[i])) + 0.5f * radioTalk[i];
    }
    Pair pair;
    const auto radioFirst = static_cast<size_t>(toIndex(0));
    const std::vector<float> radio24(radioMix.begin() + static_cast<std::ptrdiff_t>(radioFirst),
                                     radioMix.begin() + static_cast<std::ptrdiff_t>(radioFirst + static_cast<size_t>(recipe.seconds * kRate)));
    pair.radio = {finder::resample(radio24, kRate, recipe.radioRate), recipe.radioRate};
    scaleToRms(pair.radio.samples, 0.1);
    limit(pair.radio.samples);

    // The TV side on its own time line, 0.5 s longer than needed for the clock to read into.
    const std::vector<float> other = recipe.shared ? std::vector<float>() : stadium(recipe.seed + 0x51ED, total);
    const std::vector<float>& tvMatch = recipe.shared ? match : other;
    const std::vector<float> tvTalk = commentator(recipe.seed, false, recipe.seconds + 1);
    const int64_t lagSamples = std::llround(recipe.lagSeconds * kRate);
    const auto tvLength = static_cast<size_t>((recipe.seconds + 0.5) * kRate);
    std::vector<float> tv(tvLength);
    Biquad lowShelf = biquad(Kind::LowPass, 5000, 0.6);
    const int64_t jumpAt = recipe.jumpAtSeconds >= 0 ? std::llround(recipe.jumpAtSeconds * kRate) : INT64_MAX;
    const int64_t jumpBy = std::llround(jump * kRate);
    for (size_t k = 0; k < tvLength; ++k) {
        const auto t = static_cast<int64_t>(k);
        if (t >= jumpAt && t < jumpAt + jumpBy) continue;  // rebuffering: nothing to hear
        const int64_t shift = t >= jumpAt ? lagSamples + jumpBy : lagSamples;
        const auto s = static_cast<size_t>(t - shift + toIndex(0));
        tv[k] = static_cast<float>(recipe.tvStadiumGain) * lowShelf.run(tvMatch[s]) +
                static_cast<float>(recipe.tvCommentatorGain) * tvTalk[static_cast<size_t>(t >= jumpAt ? t - jumpBy : t)];
    }
    if (recipe.tvLowPassHz > 0) {
        Biquad a = biquad(Kind::LowPass, recipe.tvLowPassHz, 0.7), b = biquad(Kind::LowPass, recipe.tvLowPassHz, 0.7);
        for (float& v : tv) v = b.run(a.run(v));
    }
    int tvRate = recipe.tvRate;
    if (recipe.tvCodec == TvCodec::Gsm) {
        tv = throughGsm(tv);
        tvRate = 8000;
    } else if (recipe.tvCodec == TvCodec::ULaw) {
        for (float& v : tv) v = uLaw(v);
    }
    if (recipe.room) {
        if (recipe.ownPlaybackLagSeconds) {
            const int64_t ownSamples = std::llround(ownLag * kRate);
            for (size_t k = 0; k < tvLength; ++k)
                tv[k] += static_cast<float>(recipe.ownPlaybackGain) *
                         radioMix[static_cast<size_t>(static_cast<int64_t>(k) - ownSamples + toIndex(0))];
        }
        tv = reverberate(tv);
        Rng rng(recipe.seed + 99);
        std::normal_distribution<float> white(0, 0.01f);
        Biquad rumble = biquad(Kind::LowPass, 400, 0.7);
        for (size_t k = 0; k < tvLength; ++k)
            tv[k] += rumble.run(white(rng)) * 3 + white(rng) * 0.3f +
                     0.004f * static_cast<float>(std::sin(kTwoPi * 50 * static_cast<double>(k) / kRate));
    }
    const std::vector<float> atRate = finder::resample(tv, kRate, tvRate);
    pair.tv = {clocked(atRate, recipe.tvClockPpm, recipe.seconds, tvRate), tvRate};
    scaleToRms(pair.tv.samples, 0.1);
    limit(pair.tv.samples);
    pair.trueLagSeconds = static_cast<double>(lagSamples) / kRate - recipe.tvClockPpm * 1e-6 * recipe.seconds / 2;
    return pair;
}

PairSpec variedSpec(uint64_t index, double seconds) {
    Rng rng(index * 7919 + 13);
    PairSpec s;
    s.seed = index + 1000;
    s.seconds = seconds;
    s.shared = index % 5 != 4;
    const double pick = uniform(rng, 0, 1);
    s.lagSeconds = pick < 0.4 ? uniform(rng, 0.2, 10) : pick < 0.7 ? uniform(rng, 10, 40) : uniform(rng, 40, 150);
    static constexpr int kRates[] = {48000, 44100, 32000, 22050, 16000, 11025, 8000};
    s.radioRate = kRates[rng() % 7];
    s.tvRate = kRates[rng() % 7];
    const double codec = uniform(rng, 0, 1);
    s.tvCodec = codec < 0.4 ? TvCodec::None : codec < 0.7 ? TvCodec::ULaw : TvCodec::Gsm;
    s.tvLowPassHz = uniform(rng, 0, 1) < 0.5 ? 0 : uniform(rng, 3000, 8000);
    s.tvClockPpm = uniform(rng, -100, 100);
    s.tvStadiumGain = uniform(rng, 0.1, 0.3);
    s.tvCommentatorGain = uniform(rng, 0.5, 0.8);
    s.room = uniform(rng, 0, 1) < 0.3;
    if (s.room && uniform(rng, 0, 1) < 0.6) {
        const double away = uniform(rng, 1, 10) * (uniform(rng, 0, 1) < 0.5 ? -1 : 1);
        s.ownPlaybackLagSeconds = std::max(0.1, s.lagSeconds + away);
    }
    return s;
}

bool writeWav16(const std::string& path, const Side& side) {
    std::ofstream f(path, std::ios::binary);
    const auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) f.put(static_cast<char>(v >> (8 * i)));
    };
    const auto dataBytes = static_cast<uint32_t>(side.samples.size() * 2);
    f.write("RIFF", 4);
    put(36 + dataBytes, 4);
    f.write("WAVEfmt ", 8);
    put(16, 4);
    put(1, 2);
    put(1, 2);
    put(static_cast<uint32_t>(side.sampleRate), 4);
    put(static_cast<uint32_t>(side.sampleRate) * 2, 4);
    put(2, 2);
    put(16, 2);
    f.write("data", 4);
    put(dataBytes, 4);
    for (float v : side.samples)
        put(static_cast<uint16_t>(static_cast<int16_t>(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767))), 2);
    return static_cast<bool>(f);
}

}  // namespace una::pairs
