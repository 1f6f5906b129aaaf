#include "resample/resampler_base.h"

namespace quillon::resample {

ResamplerPlan planResampler(const ResamplerConfig&) {
    return {};
}

Resampler_base::Resampler_base(const ResamplerConfig& config)
    : attenuationDb(0), maxTransitionHz(0), baseBlockLength(0), channels(config.channels),
      inputRate(config.inputRate), outputRate(config.outputRate), inputIsFloat(config.inputIsFloat),
      outputIsFloat(config.outputIsFloat), inputBytesPerSample(config.inputBits >> 3),
      outputBytesPerSample(config.outputBits >> 3) {}

Resampler_base::~Resampler_base() = default;

} // namespace quillon::resample
