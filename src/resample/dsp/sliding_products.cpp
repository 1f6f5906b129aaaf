#include "resample/dsp/sliding_products.h"

#include <algorithm>

#include "resample/dsp/avx2_kernels.h"
#include "resample/dsp/pair_convolver.h"

namespace quillon::dsp {

bool slidingProductsAvailable() {
    return pairConvolverAvailable();
}

bool prepareSlidingProducts(SlidingProducts& sp, const double* rows, int q, const int* rowOf,
                            const int* advanceOf, int period, bool alignedGroups) {
    sp = SlidingProducts{};
    if (!slidingProductsAvailable() || q < 1 || period < 1 || (alignedGroups && period % 4 != 0))
        return false;
    const int step = alignedGroups ? 4 : 1;
    const int entries = period / step;
    // Lane offsets of each group: where outputs 1 .. 3 start relative to output 0.
    std::vector<int> lanes(static_cast<std::size_t>(entries) * 4);
    int width = 0;
    for (int e = 0; e < entries; ++e) {
        int at = 0;
        for (int l = 0; l < 4; ++l) {
            lanes[static_cast<std::size_t>(e) * 4 + l] = at;
            const int a = advanceOf[(e * step + l) % period];
            if (a < 0)
                return false;
            at += a;
        }
        sp.advance.push_back(at);
        sp.widths.push_back(lanes[static_cast<std::size_t>(e) * 4 + 3] + q);
        width = std::max(width, sp.widths.back());
    }
    // A group that reaches far past its own taps would cost more than four single products.
    if (width > 3 * q)
        return false;
    sp.coefs.assign(static_cast<std::size_t>(entries) * width * 4, 0.0);
    for (int e = 0; e < entries; ++e) {
        double* c = sp.coefs.data() + static_cast<std::size_t>(e) * width * 4;
        for (int l = 0; l < 4; ++l) {
            const double* row = rows + static_cast<std::size_t>(rowOf[(e * step + l) % period]) * q;
            const int shift = lanes[static_cast<std::size_t>(e) * 4 + l];
            for (int t = 0; t < q; ++t)
                c[static_cast<std::size_t>(shift + t) * 4 + l] = row[t];
        }
    }
    sp.period = period;
    sp.q = q;
    sp.width = width;
    sp.phaseStep = step;
    return true;
}

int runSlidingProducts(const SlidingProducts& sp, int phase, std::size_t groups,
                       std::ptrdiff_t start, const double* s0, const double* s1,
                       std::ptrdiff_t sStride, double* out0, double* out1,
                       std::ptrdiff_t outStride) {
    if (sp.period == 0 || groups == 0)
        return phase;
    return detail::runSlidingAvx2(sp.coefs.data(), static_cast<std::size_t>(sp.width) * 4,
                                  sp.widths.data(), sp.advance.data(), sp.period, sp.phaseStep,
                                  phase, groups, start, s0, s1, sStride, out0, out1, outStride);
}

} // namespace quillon::dsp
