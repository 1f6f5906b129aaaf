#pragma once

#include <cstddef>
#include <vector>

#include "resample/dsp/aligned.h"

namespace quillon::dsp {

// Fast linear convolution of two real signals at once, for the converters' long filters.
//
// The pair goes through one complex transform as re + i im: the kernel is real, so the product
// of the two spectra transforms back to both convolutions, one in each part, and the split step
// of a real transform is never needed. The spectrum stays in the transform's own (digit-reversed)
// order, and so does the kernel's, so no permutation pass is needed either. The work runs depth
// first: a block's forward pass, its four sub-blocks, the product at the leaves and the block's
// inverse pass follow one another while the block is still in cache.
//
// Data is split: the real parts in one array, the imaginary parts in another, which is how the
// converters keep their channels anyway and lets every vector lane hold its own point.
struct PairConvolver {
    int points = 0;                  // n, complex points of the transform; 0 when not set up
    AlignedDoubles twiddles;         // the passes' twiddles, level by level from the top
    std::vector<std::size_t> levels; // offset in twiddles of each level's table
    AlignedDoubles kernelRe;         // kernel spectrum in the transform's order, 1/n folded in
    AlignedDoubles kernelIm;
};

// True when this processor runs the convolver (it needs AVX2 and FMA). Elsewhere the converters
// convolve each channel with realFft. Any thread.
bool pairConvolverAvailable();

// Sets plan up for n points, n a power of two from 64 to 2^26, and the real kernel taps[0..n)
// (the caller zero-pads). False, with plan left empty, when the processor or n does not allow
// it. Allocates; the transforms that follow do not.
bool preparePairConvolver(PairConvolver& plan, int n, const double* taps);

// Replaces re[0..n) and im[0..n) by their circular convolutions with the taps. With
// upperHalfZero the second halves count as zero and are not read, only overwritten: the blocks
// the converters convolve are zero-padded to twice their length. Any thread; plan is only read,
// so one plan may serve several threads with their own arrays.
void convolvePair(const PairConvolver& plan, double* re, double* im, bool upperHalfZero);

// The two halves of convolvePair: the forward transform of re + i im (kernel e^(-2 pi i jk/n)),
// left in the transform's order, and the unscaled inverse from that order, which gives back n
// times the signal.
void pairForward(const PairConvolver& plan, double* re, double* im);
void pairInverse(const PairConvolver& plan, double* re, double* im);

// Where bin k of the forward transform sits in the transform's order. For tests and tools; it
// costs a walk down the levels.
std::size_t pairBinPosition(const PairConvolver& plan, std::size_t k);

} // namespace quillon::dsp
