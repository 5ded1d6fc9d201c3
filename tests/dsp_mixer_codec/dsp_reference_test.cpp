// The equalisers and the splitter against SciPy: reference/filters.txt holds lfilter outputs
// and freqz magnitudes made by reference/make_vectors.py (re-run it to regenerate).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "dsp_mixer_codec/unaDspBiquad.h"
#include "dsp_mixer_codec/unaDspMultiband.h"

using namespace una;

namespace {

struct Case {
    std::string kind, name;
    std::vector<double> settings;
    std::vector<std::vector<float>> outputs;
    std::vector<std::pair<double, double>> responses;  // frequency, |H|
};

struct Vectors {
    std::vector<float> input;
    std::vector<Case> cases;
};

Vectors load() {
    Vectors v;
    std::ifstream file(UNA_SOURCE_DIR "/tests/dsp_mixer_codec/reference/filters.txt");
    EXPECT_TRUE(file) << "reference/filters.txt missing";
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string tag;
        words >> tag;
        if (tag.empty() || tag[0] == '#')
            continue;
        if (tag == "input" || tag == "output") {
            size_t index = 0, count = 0;
            if (tag == "output")
                words >> index;
            else
                words >> count;
            std::vector<float> values;
            double x;
            while (words >> x)
                values.push_back(static_cast<float>(x));
            if (tag == "input")
                v.input = values;
            else
                v.cases.back().outputs.push_back(values);
        } else if (tag == "response") {
            double f, mag;
            words >> f >> mag;
            v.cases.back().responses.emplace_back(f, mag);
        } else {
            Case c;
            c.kind = tag;
            if (tag != "butter")
                words >> c.name;
            double x;
            while (words >> x)
                c.settings.push_back(x);
            v.cases.push_back(c);
        }
    }
    return v;
}

const Vectors& vectors() {
    static const Vectors v = load();
    return v;
}

// Absolute error against float precision, scaled by the reference's size.
void expectClose(const std::vector<float>& got, const std::vector<float>& want,
                 const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_NEAR(got[i], want[i], 1e-5 * std::max(1.0f, std::fabs(want[i])))
            << what << " sample " << i;
}

// |H| at a frequency, measured as a user would: a long tone through the processor, then the
// amplitude of what comes out once it has settled.
double measuredGain(unaDspDProcessor& p, double f) {
    const size_t n = 8000, tail = 2000;
    std::vector<float> in(n), out(n);
    for (size_t i = 0; i < n; ++i)
        in[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * f * i));
    p.setArrayParam(kDspInput, in.data(), static_cast<int32_t>(n));
    p.setArrayParam(kDspOutput, out.data(), static_cast<int32_t>(n));
    EXPECT_TRUE(p.process(static_cast<int32_t>(n)));
    double s = 0, c = 0;
    for (size_t i = n - tail; i < n; ++i) {
        s += out[i] * std::sin(2 * std::numbers::pi * f * i);
        c += out[i] * std::cos(2 * std::numbers::pi * f * i);
    }
    return 2.0 * std::hypot(s, c) / tail / 0.5;
}

void setupEq2b(unaDspDL_EQ2B& eq, const std::vector<double>& s) {
    for (uint32_t band = 1; band <= 2; ++band) {
        const size_t at = (band - 1) * 4;
        eq.setIntParam(kDspMode + band, static_cast<int32_t>(s[at]));
        eq.setFloatParam(kDspQ + band, static_cast<float>(s[at + 1]));
        eq.setFloatParam(kDspFrequency + band, static_cast<float>(s[at + 2]));
        eq.setFloatParam(kDspGain + band, static_cast<float>(s[at + 3]));
    }
}

void setupEqmb(unaDspDL_EQMB& eq, const std::vector<double>& s) {
    const auto bands = static_cast<size_t>(s[0]);
    std::vector<float> f(s.begin() + 1, s.begin() + 1 + bands);
    std::vector<float> g(s.begin() + 1 + bands, s.begin() + 1 + 2 * bands);
    eq.setArrayParam(kDspFrequency, f.data(), static_cast<int32_t>(bands));
    eq.setArrayParam(kDspGain, g.data(), static_cast<int32_t>(bands));
    eq.setIntParam(kDspWindow, static_cast<int32_t>(bands));
}

}  // namespace

TEST(DspReference, LowAndHighPassAtButterworthQAreButterFilters) {
    int checked = 0;
    for (const Case& c : vectors().cases) {
        if (c.kind != "butter")
            continue;
        unaDspBiquadCoeffs k;
        ASSERT_TRUE(designBiquad(static_cast<int32_t>(c.settings[0]), 1.0 / std::sqrt(2.0),
                                 c.settings[1], 1.0, k));
        const double want[5] = {c.settings[2], c.settings[3], c.settings[4], c.settings[5],
                                c.settings[6]};
        const double got[5] = {k.b0, k.b1, k.b2, k.a1, k.a2};
        for (int i = 0; i < 5; ++i)
            EXPECT_NEAR(got[i], want[i], 1e-9 * std::max(1.0, std::fabs(want[i])))
                << "type " << c.settings[0] << " f " << c.settings[1] << " coefficient " << i;
        EXPECT_EQ(k.a0, 1.0);
        ++checked;
    }
    EXPECT_EQ(checked, 6);
}

TEST(DspReference, TwoBandEqualiserMatchesLfilterAndFreqz) {
    int checked = 0;
    for (const Case& c : vectors().cases) {
        if (c.kind != "eq2b")
            continue;
        unaDspDL_EQ2B eq;
        setupEq2b(eq, c.settings);
        std::vector<float> in = vectors().input, out(in.size());
        eq.setArrayParam(kDspInput, in.data(), static_cast<int32_t>(in.size()));
        eq.setArrayParam(kDspOutput, out.data(), static_cast<int32_t>(out.size()));
        ASSERT_TRUE(eq.process(static_cast<int32_t>(in.size())));
        expectClose(out, c.outputs.at(0), c.name);
        for (const auto& [f, magnitude] : c.responses) {
            unaDspDL_EQ2B fresh;
            setupEq2b(fresh, c.settings);
            EXPECT_NEAR(measuredGain(fresh, f), magnitude, 2e-3 * std::max(1.0, magnitude))
                << c.name << " at " << f;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 8);
}

TEST(DspReference, MultibandEqualiserMatchesLfilterAndFreqz) {
    int checked = 0;
    for (const Case& c : vectors().cases) {
        if (c.kind != "eqmb")
            continue;
        unaDspDL_EQMB eq;
        setupEqmb(eq, c.settings);
        std::vector<float> in = vectors().input, out(in.size());
        eq.setArrayParam(kDspInput, in.data(), static_cast<int32_t>(in.size()));
        eq.setArrayParam(kDspOutput, out.data(), static_cast<int32_t>(out.size()));
        ASSERT_TRUE(eq.process(static_cast<int32_t>(in.size())));
        expectClose(out, c.outputs.at(0), c.name);
        for (const auto& [f, magnitude] : c.responses) {
            unaDspDL_EQMB fresh;
            setupEqmb(fresh, c.settings);
            EXPECT_NEAR(measuredGain(fresh, f), magnitude, 2e-3 * std::max(1.0, magnitude))
                << c.name << " at " << f;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}

TEST(DspReference, SplitterBandsMatchLfilterAndAddUpToTheInput) {
    int checked = 0;
    for (const Case& c : vectors().cases) {
        if (c.kind != "mbsp")
            continue;
        const auto bands = static_cast<size_t>(c.settings[0]);
        unaDspDL_MbSp sp;
        std::vector<float> crossovers(c.settings.begin() + 2, c.settings.end());
        sp.setIntParam(kDspWindow, static_cast<int32_t>(bands));
        sp.setFloatParam(kDspQ, static_cast<float>(c.settings[1]));
        sp.setArrayParam(kDspFrequency, crossovers.data(), static_cast<int32_t>(bands - 1));
        std::vector<float> in = vectors().input;
        const auto n = static_cast<int32_t>(in.size());
        std::vector<std::vector<float>> out(bands, std::vector<float>(in.size()));
        sp.setArrayParam(kDspInput, in.data(), n);
        for (size_t k = 0; k < bands; ++k)
            sp.setArrayParam(kDspOutput + static_cast<uint32_t>(k), out[k].data(), n);
        // Two halves: the filter memory carries across calls.
        ASSERT_TRUE(sp.process(n / 2));
        sp.setArrayParam(kDspInput, in.data() + n / 2, n / 2);
        for (size_t k = 0; k < bands; ++k)
            sp.setArrayParam(kDspOutput + static_cast<uint32_t>(k), out[k].data() + n / 2, n / 2);
        ASSERT_TRUE(sp.process(n / 2));
        ASSERT_EQ(c.outputs.size(), bands);
        for (size_t k = 0; k < bands; ++k)
            expectClose(out[k], c.outputs[k], c.name + " band " + std::to_string(k));
        for (size_t i = 0; i < in.size(); ++i) {
            float sum = 0;
            for (size_t k = 0; k < bands; ++k)
                sum += out[k][i];
            ASSERT_NEAR(sum, in[i], 1e-6) << c.name << " sample " << i;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 2);
}
