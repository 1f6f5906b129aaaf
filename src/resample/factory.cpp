#include <new>

#include "resample/downsampler.h"
#include "resample/resampler_base.h"
#include "resample/upsampler.h"

namespace quillon::resample {

Resampler_base* createResampler(const ResamplerConfig& config) {
    const ResamplerPlan plan = planResampler(config);
    // The constructors size every array from the plan; a failed allocation anywhere in them
    // must reach the worker as "no converter", not as an exception on its thread.
    try {
        switch (plan.kind) {
        case ResamplerKind::up:
            return new Upsampler(config, plan);
        case ResamplerKind::down:
            return new Downsampler(config, plan);
        case ResamplerKind::none:
            break;
        }
    } catch (const std::bad_alloc&) {
    }
    return nullptr;
}

} // namespace quillon::resample
