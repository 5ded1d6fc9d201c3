#!/usr/bin/python3
"""Writes filters.txt: reference outputs of the equalisers and the splitter, computed with
SciPy (Debian's python3-scipy and python3-numpy) from the cookbook biquad formulas.

Run from anywhere:  /usr/bin/python3 tests/dsp_mixer_codec/reference/make_vectors.py

Format, one item per line ("#" lines are comments):
  input N x0 x1 ...                       the input every case filters
  butter TYPE F  b0 b1 b2 a1 a2           scipy.signal.butter coefficients, a1/a2 sign-flipped
  eq2b NAME  T1 Q1 F1 G1  T2 Q2 F2 G2     two-band equaliser settings (type 0 = off)
  eqmb NAME  N  f0..  g0..                multiband equaliser settings
  mbsp NAME  N  Q  f0..                   splitter settings (N bands, N-1 crossovers)
  output K y0 y1 ...                      lfilter output (band K for a splitter, else 0)
  response F MAG                          |H| at frequency fraction F from scipy.signal.freqz
Parameters are float32 values, as the program stores them.
"""
import os

import numpy as np
from scipy import signal

HERE = os.path.dirname(os.path.abspath(__file__))
N = 256


def f32(x):
    return float(np.float32(x))


def cookbook(kind, q, f, g):
    """b, a of one band; kind as the program numbers it (1 peaking .. 5 high shelf)."""
    w = 2 * np.pi * f
    cw, sw = np.cos(w), np.sin(w)
    A = np.sqrt(g)
    alpha = sw / (2 * q)
    beta = 2 * np.sqrt(A) * alpha
    if kind == 1:
        b = [1 + alpha * A, -2 * cw, 1 - alpha * A]
        a = [1 + alpha / A, -2 * cw, 1 - alpha / A]
    elif kind == 2:
        b = [(1 - cw) / 2, 1 - cw, (1 - cw) / 2]
        a = [1 + alpha, -2 * cw, 1 - alpha]
    elif kind == 3:
        b = [(1 + cw) / 2, -(1 + cw), (1 + cw) / 2]
        a = [1 + alpha, -2 * cw, 1 - alpha]
    elif kind == 4:
        b = [A * ((A + 1) - (A - 1) * cw + beta), 2 * A * ((A - 1) - (A + 1) * cw),
             A * ((A + 1) - (A - 1) * cw - beta)]
        a = [(A + 1) + (A - 1) * cw + beta, -2 * ((A - 1) + (A + 1) * cw),
             (A + 1) + (A - 1) * cw - beta]
    else:
        b = [A * ((A + 1) + (A - 1) * cw + beta), -2 * A * ((A - 1) + (A + 1) * cw),
             A * ((A + 1) + (A - 1) * cw - beta)]
        a = [(A + 1) - (A - 1) * cw + beta, 2 * ((A - 1) - (A + 1) * cw),
             (A + 1) - (A - 1) * cw - beta]
    return np.array(b) / a[0], np.array(a) / a[0]


def cascade(sections, x):
    for b, a in sections:
        x = signal.lfilter(b, a, x)
    return x


def response(sections, f):
    h = 1.0
    for b, a in sections:
        _, hf = signal.freqz(b, a, worN=[2 * np.pi * f])
        h *= hf[0]
    return abs(h)


def numbers(values):
    return " ".join("%.9g" % np.float32(v) for v in values)


def main():
    rng = np.random.RandomState(1)
    x = rng.uniform(-0.5, 0.5, N).astype(np.float32)
    x[0] = 1.0
    x64 = x.astype(np.float64)
    lines = [f"input {N} {numbers(x)}"]

    # The designer's low- and high-pass at Q = 1/sqrt(2) are Butterworth filters.
    for kind, btype in ((2, "lowpass"), (3, "highpass")):
        for f in (0.01, 0.1, 0.3):
            b, a = signal.butter(2, 2 * f32(f), btype)
            b, a = b / a[0], a / a[0]
            lines.append(f"butter {kind} {f32(f)!r} {b[0]!r} {b[1]!r} {b[2]!r} {-a[1]!r} {-a[2]!r}")

    eq2b = [
        ("peaking_boost", (1, 1.0, 0.0113378685, 4.0), (0, 1.0, 0.05, 1.0)),
        ("peaking_cut", (1, 2.5, 0.1, 0.25), (0, 1.0, 0.05, 1.0)),
        ("lowpass", (2, 0.7071, 0.02, 1.0), (0, 1.0, 0.05, 1.0)),
        ("highpass", (3, 0.5, 0.15, 1.0), (0, 1.0, 0.05, 1.0)),
        ("lowshelf", (4, 0.8, 0.01, 3.0), (0, 1.0, 0.05, 1.0)),
        ("highshelf", (5, 1.2, 0.2, 0.3), (0, 1.0, 0.05, 1.0)),
        ("band2_only", (0, 1.0, 0.05, 1.0), (5, 0.9, 0.05, 2.0)),
        ("speech_band", (3, 0.70710678, 300 / 44100, 1.0), (2, 0.70710678, 3000 / 44100, 1.0)),
    ]
    for name, band1, band2 in eq2b:
        bands = [tuple(f32(v) if i else v for i, v in enumerate(band)) for band in (band1, band2)]
        sections = [cookbook(t, q, f, g) for (t, q, f, g) in bands if t != 0]
        lines.append("eq2b " + name + " " +
                     " ".join(f"{t} {q!r} {f!r} {g!r}" for (t, q, f, g) in bands))
        lines.append(f"output 0 {numbers(cascade(sections, x64))}")
        for rf in (0.005, 0.05, 0.2):
            lines.append(f"response {rf!r} {response(sections, rf)!r}")

    eqmb = [
        ("four_bands", [0.01, 0.03, 0.09, 0.2], [2.0, 0.5, 1.5, 0.7]),
        ("two_bands", [0.02, 0.08], [0.3, 3.0]),
    ]
    for name, fs, gs in eqmb:
        fs = [f32(f) for f in fs]
        gs = [f32(g) for g in gs]
        sections = []
        for i, f in enumerate(fs):
            ratios = []
            if i + 1 < len(fs):
                ratios.append(fs[i + 1] / f)
            if i > 0:
                ratios.append(f / fs[i - 1])
            d = max(ratios)
            w = 2 * np.pi * f
            q = 0.5 / np.sinh(np.log2(d) / 2 * w / np.sin(w))
            sections.append(cookbook(1, q, f, gs[i]))
        lines.append(f"eqmb {name} {len(fs)} {numbers(fs)} {numbers(gs)}")
        lines.append(f"output 0 {numbers(cascade(sections, x64))}")
        for rf in (0.005, 0.05, 0.2):
            lines.append(f"response {rf!r} {response(sections, rf)!r}")

    mbsp = [
        ("three_once", 3, 0.70710678, [0.02, 0.1]),
        ("four_twice", 4, 1.2, [0.01, 0.05, 0.2]),
    ]
    for name, bands, q, fs in mbsp:
        q = f32(q)
        fs = [f32(f) for f in fs]
        twice = q > f32(1 / np.sqrt(2))
        pass_q = q / 2 if twice else q
        lows = []
        for f in fs:
            section = [cookbook(2, pass_q, f, 1.0)] * (2 if twice else 1)
            lows.append(cascade(section, x64))
        outs = [lows[0]] + [lows[k] - lows[k - 1] for k in range(1, len(lows))] + [x64 - lows[-1]]
        lines.append(f"mbsp {name} {bands} {q!r} {numbers(fs)}")
        for k, y in enumerate(outs):
            lines.append(f"output {k} {numbers(y)}")

    with open(os.path.join(HERE, "filters.txt"), "w") as out:
        out.write("# made by make_vectors.py; do not edit\n")
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
