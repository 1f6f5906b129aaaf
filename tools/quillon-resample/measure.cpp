#include "measure.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "resample/dsp/real_fft.h"
#include "resample/dsp/sample_io.h"
#include "resample/resampler_base.h"

namespace quillon::tools {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAmplitude = 0.5;
constexpr int kWindow = 32768;     // output samples analysed per tone
constexpr double kKaiserBeta = 28; // side lobes far below the best stop band
constexpr double kPassTolerance = 0.001;
constexpr int kCoarseTones = 96;
constexpr int kFineTones = 24;

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::unique_ptr<resample::Resampler_base> makeConverter(const MeasureOptions& o, int channels) {
    const resample::ResamplerConfig config{o.inputRate, o.outputRate, 1,        1,
                                           64,          64,           channels, o.quality};
    return std::unique_ptr<resample::Resampler_base>(resample::createResampler(config));
}

// Feeds `in` (interleaved doubles) in pieces of `piece` frames and returns every
// output value; calls `each(fedFrames, outputFrames)` after every piece.
template <typename Each>
std::vector<double> run(resample::Resampler_base& r, const std::vector<double>& in,
                        std::size_t piece, Each each) {
    const auto channels = static_cast<std::size_t>(r.channels);
    std::vector<double> out;
    out.reserve(
        static_cast<std::size_t>(static_cast<double>(in.size()) * r.outputRate / r.inputRate) +
        4096);
    const auto take = [&r, &out] {
        const std::size_t n = r.outputBuffer.length / sizeof(double);
        const auto* values = reinterpret_cast<const double*>(r.outputBuffer.data);
        out.insert(out.end(), values, values + n);
        r.outputBuffer.length = 0;
    };
    for (std::size_t at = 0; at < in.size(); at += piece * channels) {
        const std::size_t n = std::min(piece * channels, in.size() - at);
        dsp::appendBytes(r.inputBuffer, reinterpret_cast<const std::uint8_t*>(in.data() + at),
                         static_cast<std::uint32_t>(n * sizeof(double)));
        resample::convertSteps(r, 0);
        take();
        each((at + n) / channels, out.size() / channels);
    }
    resample::convertSteps(r, 1);
    take();
    return out;
}

double besselI0(double x) {
    double sum = 1;
    double term = 1;
    for (int k = 1; k < 500 && term > sum * 1e-17; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

struct ToneResult {
    double frequency;
    double gainDb; // NaN for a tone the output cannot carry (above its Nyquist)
    double spurDb; // the worst other component, relative to the tone's input level
};

// Every tone plays for its own segment of one stream; each is analysed where
// the filters have settled on it.
std::vector<ToneResult> measureTones(const MeasureOptions& o, const std::vector<double>& tones) {
    std::vector<ToneResult> results;
    auto r = makeConverter(o, 1);
    if (!r) {
        return results;
    }
    // A tone switch disturbs the output for about one filter delay either side.
    const double settle = r->samplesToSkip + 2048.0;
    const auto segmentOut = static_cast<std::size_t>(2 * settle + kWindow);
    const auto segmentIn = static_cast<std::size_t>(
        std::ceil(static_cast<double>(segmentOut) * o.inputRate / o.outputRate));
    std::vector<double> in(segmentIn * tones.size());
    for (std::size_t t = 0; t < tones.size(); ++t) {
        const double step = 2 * kPi * tones[t] / o.inputRate;
        for (std::size_t n = 0; n < segmentIn; ++n) {
            in[t * segmentIn + n] = kAmplitude * std::sin(step * static_cast<double>(n));
        }
    }
    const std::vector<double> out = run(*r, in, 1 << 16, [](std::size_t, std::size_t) {});

    std::vector<double> window(kWindow);
    double windowSum = 0;
    for (int n = 0; n < kWindow; ++n) {
        const double x = 2.0 * n / (kWindow - 1) - 1;
        window[static_cast<std::size_t>(n)] =
            besselI0(kKaiserBeta * std::sqrt(std::max(0.0, 1 - x * x))) / besselI0(kKaiserBeta);
        windowSum += window[static_cast<std::size_t>(n)];
    }
    std::vector<double> work(kWindow);
    std::vector<int> fftIndex(2 + static_cast<std::size_t>(std::sqrt(kWindow / 2.0)) + 2, 0);
    std::vector<double> fftTable(kWindow / 2);
    for (std::size_t t = 0; t < tones.size(); ++t) {
        const auto start = static_cast<std::size_t>(
            std::llround(static_cast<double>(t * segmentIn) * o.outputRate / o.inputRate + settle));
        if (start + kWindow > out.size()) {
            break;
        }
        const double* y = out.data() + start;
        const double omega = 2 * kPi * tones[t] / o.outputRate;
        const bool carried = 2 * tones[t] < o.outputRate;
        double a = 0;
        double b = 0;
        if (carried) {
            // Weighted least squares for a*cos + b*sin at the tone's frequency:
            // exact for the tone whatever else the output holds.
            double cc = 0, cs = 0, ss = 0, yc = 0, ys = 0;
            for (int n = 0; n < kWindow; ++n) {
                const double phase =
                    omega * static_cast<double>(start + static_cast<std::size_t>(n));
                const double c = std::cos(phase);
                const double s = std::sin(phase);
                const double w = window[static_cast<std::size_t>(n)];
                cc += w * c * c;
                cs += w * c * s;
                ss += w * s * s;
                yc += w * y[n] * c;
                ys += w * y[n] * s;
            }
            const double det = cc * ss - cs * cs;
            a = (yc * ss - ys * cs) / det;
            b = (ys * cc - yc * cs) / det;
        }
        for (int n = 0; n < kWindow; ++n) {
            const double phase = omega * static_cast<double>(start + static_cast<std::size_t>(n));
            const double tone = carried ? a * std::cos(phase) + b * std::sin(phase) : 0;
            work[static_cast<std::size_t>(n)] = (y[n] - tone) * window[static_cast<std::size_t>(n)];
        }
        dsp::realFft(kWindow, 1, work.data(), fftIndex.data(), fftTable.data());
        double worst = std::max(std::abs(work[0]) / 2, std::abs(work[1]) / 2);
        for (int k = 1; k < kWindow / 2; ++k) {
            worst = std::max(worst, std::hypot(work[2 * static_cast<std::size_t>(k)],
                                               work[2 * static_cast<std::size_t>(k) + 1]));
        }
        const double spur = 2 * worst / windowSum / kAmplitude;
        const double gain = std::hypot(a, b) / kAmplitude;
        results.push_back(ToneResult{tones[t], carried ? 20 * std::log10(gain) : std::nan(""),
                                     20 * std::log10(std::max(spur, 1e-20))});
    }
    return results;
}

// The frequency where the gain first falls below `levelDb`, interpolated
// between the two tones around it; 0 when no tone falls that far.
double crossing(const std::vector<ToneResult>& sweep, double levelDb, std::size_t* after) {
    for (std::size_t i = 1; i < sweep.size(); ++i) {
        if (std::isnan(sweep[i - 1].gainDb)) {
            break;
        }
        // A tone the output cannot carry has fallen away entirely: the
        // crossing lies before it, and finer sweeps find where.
        if (std::isnan(sweep[i].gainDb)) {
            *after = i;
            return (sweep[i - 1].frequency + sweep[i].frequency) / 2;
        }
        if (sweep[i].gainDb < levelDb) {
            *after = i;
            const double g0 = sweep[i - 1].gainDb;
            const double g1 = sweep[i].gainDb;
            const double f0 = sweep[i - 1].frequency;
            const double f1 = sweep[i].frequency;
            return g1 == g0 ? f1 : f0 + (f1 - f0) * (levelDb - g0) / (g1 - g0);
        }
    }
    *after = 0;
    return 0;
}

// Measures where the gain crosses `levelDb`: the coarse sweep brackets it,
// two finer sweeps narrow the bracket.
double edge(const MeasureOptions& o, const std::vector<ToneResult>& coarse, double levelDb) {
    std::size_t after = 0;
    double found = crossing(coarse, levelDb, &after);
    if (after == 0) {
        return found;
    }
    double low = coarse[after - 1].frequency;
    double high = coarse[after].frequency;
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<double> tones;
        for (int i = 0; i <= kFineTones; ++i) {
            tones.push_back(low + (high - low) * i / kFineTones);
        }
        const std::vector<ToneResult> fine = measureTones(o, tones);
        std::size_t at = 0;
        const double narrowed = crossing(fine, levelDb, &at);
        if (at == 0) {
            break;
        }
        found = narrowed;
        low = fine[at - 1].frequency;
        high = fine[at].frequency;
    }
    return found;
}

// Output behind input, in ms, over a stream fed in small pieces as the server does.
void measureDelay(const MeasureOptions& o, Measurement& m) {
    auto r = makeConverter(o, 1);
    const std::size_t blocks = 4;
    std::vector<double> in(static_cast<std::size_t>(r->baseBlockLength) * 16 * blocks + 65536, 0.0);
    double least = 1e300;
    double most = 0;
    run(*r, in, 64, [&](std::size_t fed, std::size_t produced) {
        if (produced == 0) {
            return;
        }
        const double lag = 1000.0 * (static_cast<double>(fed) / o.inputRate -
                                     static_cast<double>(produced) / o.outputRate);
        least = std::min(least, lag);
        most = std::max(most, lag);
    });
    m.delayMs = least == 1e300 ? 0 : least;
    m.latencyMs = most;
}

void measureSpeed(const MeasureOptions& o, Measurement& m) {
    const auto start = Clock::now();
    auto r = makeConverter(o, 2);
    m.setupMs = msSince(start);
    const std::size_t frames = static_cast<std::size_t>(o.inputRate) * 20;
    std::vector<double> in(frames * 2);
    std::uint32_t seed = 12345;
    for (double& x : in) {
        seed = seed * 1664525u + 1013904223u;
        x = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.5;
    }
    const auto begin = Clock::now();
    run(*r, in, 4096, [](std::size_t, std::size_t) {});
    const double ms = msSince(begin);
    m.speed = ms > 0 ? 20.0 * 1000.0 / ms : 0;
}

} // namespace

int measureConverter(const MeasureOptions& o, std::ostream& out, std::ostream& err) {
    if (!makeConverter(o, 1)) {
        err << "quillon-resample: cannot convert " << o.inputRate << " Hz to " << o.outputRate
            << " Hz at quality " << o.quality << "\n";
        return 1;
    }
    // Tones across the input's whole band: those the output cannot carry are
    // all alias.
    std::vector<double> tones;
    const double top = o.inputRate / 2.0;
    for (int i = 1; i < kCoarseTones; ++i) {
        tones.push_back(top * i / kCoarseTones);
    }
    // The input's Nyquist itself would be a silent tone: approach it instead.
    for (const double below : {60.0, 20.0, 6.0, 2.0}) {
        tones.push_back(top - below);
    }
    const std::vector<ToneResult> coarse = measureTones(o, tones);

    Measurement m;
    m.passEdgeHz = edge(o, coarse, -kPassTolerance);
    m.minus3dBHz = edge(o, coarse, -3.0);
    // The stop band mirrors the pass band about the lower Nyquist: images of
    // pass-band tones and aliases of tones beyond the mirror land there.
    // Tones in the transition band between are left out.
    const double mirror = std::min(o.inputRate, o.outputRate) - m.passEdgeHz;
    double worst = -1e300;
    for (const ToneResult& t : coarse) {
        if (!std::isnan(t.gainDb) && t.frequency < m.passEdgeHz) {
            m.rippleDb = std::max(m.rippleDb, std::abs(t.gainDb));
        }
        if (t.frequency <= m.passEdgeHz || t.frequency >= mirror) {
            worst = std::max(worst, t.spurDb);
        }
    }
    m.stopBandDb = -worst;
    measureDelay(o, m);
    measureSpeed(o, m);

    char text[512];
    std::snprintf(text, sizeof text,
                  "%d Hz -> %d Hz, quality %d\n"
                  "pass band (within %.3f dB): %.1f Hz\n"
                  "-3 dB point: %s%.1f Hz\n"
                  "pass-band ripple: %.6f dB\n"
                  "stop-band attenuation (worst image or alias): %.1f dB\n"
                  "delay: %.2f ms\n"
                  "latency: %.2f ms\n"
                  "set-up time: %.1f ms\n"
                  "speed: %.0f x real time (stereo)\n",
                  o.inputRate, o.outputRate, o.quality, kPassTolerance, m.passEdgeHz,
                  m.minus3dBHz > 0 ? "" : "above ", m.minus3dBHz > 0 ? m.minus3dBHz : tones.back(),
                  m.rippleDb, m.stopBandDb, m.delayMs, m.latencyMs, m.setupMs, m.speed);
    out << text;

    if (!o.curves.empty()) {
        std::ofstream csv(o.curves);
        csv << "frequency_hz,gain_db,worst_spur_db\n";
        for (const ToneResult& t : coarse) {
            std::snprintf(text, sizeof text, "%.3f,%.9f,%.3f\n", t.frequency, t.gainDb, t.spurDb);
            csv << text;
        }
        if (!csv) {
            err << "quillon-resample: cannot write " << o.curves << "\n";
            return 1;
        }
    }
    return 0;
}

} // namespace quillon::tools
