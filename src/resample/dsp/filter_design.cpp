#include "resample/dsp/filter_design.h"

#include <cmath>
#include <numbers>

#include "resample/dsp/bessel_i0_table.h"

namespace quillon::dsp {

namespace {

template <int N> double horner(const double (&c)[N], double v) {
    double s = c[0];
    for (int i = 1; i < N; ++i)
        s = s * v + c[i];
    return s;
}

} // namespace

// Three polynomial pieces, fitted by tools/gen_bessel_i0.py: in (x/4)^2 below 8.5, in the
// fractional part of x up to 12.5, and in 60/x against the e^x sqrt(60/x) growth above.
double besselI0(double x) {
    x = std::fabs(x);
    if (std::isnan(x))
        return x; // a NaN must not pick a table row
    if (x < 8.5) {
        double t = x * x * 0.0625;
        return horner(detail::kBesselI0Small[static_cast<int>(t)], t);
    }
    if (x < 12.5) {
        int r = static_cast<int>(x);
        return horner(detail::kBesselI0Middle[r - 8], x - r);
    }
    double t = 60.0 / x; // in (0, 4.8]
    return std::sqrt(t) * horner(detail::kBesselI0Large[static_cast<int>(t)], t) * std::exp(x);
}

double kaiserBeta(double a) {
    if (a <= 21.0)
        return 0.0;
    if (a <= 50.0)
        return 0.5842 * std::pow(a - 21.0, 0.4) + 0.07886 * (a - 21.0);
    return 0.1102 * (a - 8.7);
}

double kaiserLengthFactor(double a) {
    return a <= 21.0 ? 0.9222 : (a - 7.95) / 14.36;
}

double kaiserWindow(int i, int N, double beta, double i0Beta) {
    double q = (4.0 * i * i) / ((N - 1.0) * (N - 1.0));
    return besselI0(beta * std::sqrt(1.0 - q)) / i0Beta;
}

double sinc(double x) {
    return x == 0.0 ? 1.0 : std::sin(x) / x;
}

double windowedSinc(int i, int N, double cutoffHz, int rate, double beta, double i0Beta) {
    constexpr double kTwoPi = 2.0 * std::numbers::pi;
    return (2 * cutoffHz) * (1.0 / rate) * sinc((cutoffHz * kTwoPi) * i * (1.0 / rate)) *
           kaiserWindow(i, N, beta, i0Beta);
}

} // namespace quillon::dsp
