#include "resample/dsp/real_fft.h"

namespace quillon::dsp {

void realFft(int, int, double*, int*, double*) {}

} // namespace quillon::dsp
