#include "resample/dsp/sample_io.h"

#include "resample/resampler_base.h"

namespace quillon::dsp {

bool appendBytes(GrowableBuffer&, const std::uint8_t*, std::uint32_t) {
    return false;
}
void releaseBuffer(GrowableBuffer&) {}
void decodeInput(const resample::Resampler_base&, int, int, const std::uint8_t*, double*, int) {}
bool encodeOutput(resample::Resampler_base&, int, const double*) {
    return false;
}

} // namespace quillon::dsp
