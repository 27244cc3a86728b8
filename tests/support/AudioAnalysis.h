// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a listener hears in a recorded track: where notes begin (a jump of
// the short-term energy) and at what pitch (YIN, an autocorrelation-based
// estimate that does not jump an octave on strong overtones).
//
//   for (std::size_t at : vlx::test::audio::onsets(track, rate))
//       int key = vlx::test::audio::midiKey(vlx::test::audio::pitchHz(track, at + rate / 100, rate / 25, rate));
//
// Meant for tones with a fast attack and a clear pitch, one note at a time.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace vlx::test::audio {

// Sample indices where a note begins: the energy of the next 3 ms is at
// least 8 times (9 dB) that of the loudest 3 ms of the 12 ms before, and
// above -30 dB of the track's loudest moment. Each onset is then moved to
// the first sample that reaches a fifth of the new note's early peak, so
// that it is exact to a fraction of a millisecond for a sharp attack.
inline std::vector<std::size_t> onsets(const std::vector<float>& x, double rate) {
    const std::size_t hop = std::max<std::size_t>(1, static_cast<std::size_t>(rate / 1000));  // 1 ms
    const std::size_t hops = x.size() / hop;
    std::vector<double> energy(hops, 0.0);
    for (std::size_t h = 0; h < hops; ++h)
        for (std::size_t i = h * hop; i < (h + 1) * hop; ++i) energy[h] += double(x[i]) * x[i];
    auto window = [&](std::size_t from) {  // 3 ms from hop `from`
        double sum = 0;
        for (std::size_t h = from; h < std::min(from + 3, hops); ++h) sum += energy[h];
        return sum;
    };
    double loudest = 0;
    for (std::size_t h = 0; h < hops; ++h) loudest = std::max(loudest, window(h));
    const double floor = loudest * 1e-3;

    std::vector<std::size_t> found;
    std::size_t quietUntil = 0;  // no second onset within 30 ms of one
    for (std::size_t h = 12; h + 3 <= hops; ++h) {
        if (h < quietUntil) continue;
        double before = 0;
        for (std::size_t b = h - 12; b + 3 <= h; ++b) before = std::max(before, window(b));
        const double now = window(h);
        if (now < floor || now < 4 * before) continue;
        // The new note's early peak, then the first sample reaching a fifth of it.
        const std::size_t from = (h - 1) * hop, to = std::min(x.size(), (h + 10) * hop);
        float peak = 0;
        for (std::size_t i = from; i < to; ++i) peak = std::max(peak, std::abs(x[i]));
        std::size_t at = from;
        while (at < to && std::abs(x[at]) < peak / 5) ++at;
        found.push_back(at);
        quietUntil = h + 30;
    }
    return found;
}

// The fundamental frequency of x[from, from + length) in Hz, between 60 Hz
// and 2 kHz, by YIN (de Cheveigné and Kawahara, 2002); 0 when nothing in the
// window is periodic enough.
inline double pitchHz(const std::vector<float>& x, std::size_t from, std::size_t length, double rate) {
    const auto minLag = static_cast<std::size_t>(rate / 2000), maxLag = static_cast<std::size_t>(rate / 60);
    if (from + length + maxLag + 1 > x.size() || length == 0) return 0;
    std::vector<double> d(maxLag + 2, 0.0);
    for (std::size_t lag = 1; lag <= maxLag + 1; ++lag)
        for (std::size_t i = from; i < from + length; ++i) {
            const double diff = double(x[i]) - x[i + lag];
            d[lag] += diff * diff;
        }
    // Cumulative mean normalised difference; the first dip below the
    // threshold is the period, the deepest dip otherwise.
    std::vector<double> cmnd(d.size(), 1.0);
    double running = 0;
    for (std::size_t lag = 1; lag < d.size(); ++lag) {
        running += d[lag];
        cmnd[lag] = running > 0 ? d[lag] * double(lag) / running : 1.0;
    }
    std::size_t best = 0;
    for (std::size_t lag = std::max<std::size_t>(minLag, 2); lag <= maxLag; ++lag) {
        if (cmnd[lag] < 0.15) {
            while (lag + 1 <= maxLag && cmnd[lag + 1] < cmnd[lag]) ++lag;
            best = lag;
            break;
        }
        if (best == 0 || cmnd[lag] < cmnd[best]) best = lag;
    }
    if (best == 0 || cmnd[best] > 0.5) return 0;
    // Parabolic interpolation between the neighbouring lags.
    const double a = cmnd[best - 1], b = cmnd[best], c = cmnd[best + 1];
    const double shift = (a - 2 * b + c) != 0 ? 0.5 * (a - c) / (a - 2 * b + c) : 0.0;
    return rate / (double(best) + shift);
}

// The nearest MIDI key to a frequency (69 is A at 440 Hz); -1 for none.
inline int midiKey(double hz) {
    if (hz <= 0) return -1;
    return static_cast<int>(std::lround(69 + 12 * std::log2(hz / 440.0)));
}

}  // namespace vlx::test::audio
