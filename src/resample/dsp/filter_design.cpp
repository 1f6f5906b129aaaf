#include "resample/dsp/filter_design.h"

#include <cmath>

#include "resample/dsp/bessel_i0_table.h"

namespace quillon::dsp {

double besselI0(double) {
    return 1.0;
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

} // namespace quillon::dsp
