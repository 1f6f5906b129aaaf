#pragma once

#include <cstddef>
#include <vector>

#include "resample/dsp/aligned.h"

namespace quillon::dsp {

// The polyphase stages' inner products, four outputs at a time.
//
// A polyphase stage cycles through `period` phases; phase i takes row rowOf[i] of a table of
// q-tap rows, reads q samples from its read position and then moves that position on by
// advanceOf[i] samples. Four consecutive outputs read windows that overlap, so they are one
// window of `width` samples with four columns of coefficients, each a row shifted to where its
// output starts and padded with zeros. Every output still sums its taps t = 0 .. q - 1 in
// order (the zeros add nothing), with fused multiply-adds; a group of four costs width vector
// operations instead of 4 q scalar ones.
struct SlidingProducts {
    int period = 0;           // phases in the cycle; 0 when not set up
    int q = 0;                // taps per row
    int width = 0;            // longest window of a group of four
    int phaseStep = 1;        // 4 when every group starts on a multiple of 4, else 1
    AlignedDoubles coefs;     // per group start: width x 4, window position major
    std::vector<int> widths;  // per group start: window length, at most width
    std::vector<int> advance; // per group start: samples from this window to the next
};

// True when this processor runs the grouped products (it needs AVX2 and FMA); elsewhere the
// stages compute one product at a time. Any thread.
bool slidingProductsAvailable();

// Builds the groups for every start phase, or only for multiples of 4 when alignedGroups (the
// caller promises every run starts there). False, with sp left empty, when the processor does
// not run them or the input makes no sense. Allocates.
bool prepareSlidingProducts(SlidingProducts& sp, const double* rows, int q, const int* rowOf,
                            const int* advanceOf, int period, bool alignedGroups);

// Runs `groups` groups of four outputs for one or two channels (s1 and out1 null for one),
// starting at `phase` with the window at sample `start`; sample u of channel c is
// sc[u * sStride], output m goes to outc[m * outStride]. Returns the phase after the last
// group. Any thread; sp is only read.
int runSlidingProducts(const SlidingProducts& sp, int phase, std::size_t groups,
                       std::ptrdiff_t start, const double* s0, const double* s1,
                       std::ptrdiff_t sStride, double* out0, double* out1,
                       std::ptrdiff_t outStride);

} // namespace quillon::dsp
