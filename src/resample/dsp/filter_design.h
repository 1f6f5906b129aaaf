#pragma once

namespace quillon::dsp {

// Modified Bessel function of the first kind, order zero, to full double precision on the
// arguments the converters use (|x| <= 22); even in x.
double besselI0(double x);

// Kaiser window shape parameter for a stop-band attenuation of attenuationDb.
double kaiserBeta(double attenuationDb);

// D in taps - 1 = D * rate / transitionWidth for a stop-band attenuation of attenuationDb.
double kaiserLengthFactor(double attenuationDb);

// Window value of tap i (-(N-1)/2 .. (N-1)/2) of an odd N-tap filter; i0Beta = besselI0(beta).
double kaiserWindow(int i, int N, double beta, double i0Beta);

// sin(x)/x, exactly 1 at 0.
double sinc(double x);

// Tap i (-(N-1)/2 .. (N-1)/2) of an odd N-tap Kaiser-windowed low-pass cutting at cutoffHz,
// sampled at rate, with unit gain; i0Beta = besselI0(beta).
double windowedSinc(int i, int N, double cutoffHz, int rate, double beta, double i0Beta);

} // namespace quillon::dsp
