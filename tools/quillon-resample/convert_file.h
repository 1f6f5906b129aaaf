#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "resample/resampler_base.h"

namespace quillon::tools {

enum class OutputFormat { f64, f32, s24, s16 };

struct ConvertOptions {
    std::string input;
    std::string output;
    int rate = 0;
    int quality = 2;
    OutputFormat format = OutputFormat::f64;
    bool quiet = false; // no design line, no progress bar
};

// One line naming the converter and its design: stage factor, filter lengths, block length
// and the start-up delay dropped from the output.
std::string describeDesign(const resample::Resampler_base& converter);

// Encodes n doubles (nominal full scale +-1) into the output format: floats unchanged (f32
// rounded to nearest), integers scaled by the largest positive code, rounded to nearest and
// clipped. Returns how many samples were clipped.
std::uint64_t encodeSamples(const double* in, std::size_t n, OutputFormat format,
                            std::uint8_t* out);

// Converts options.input into options.output at options.rate. The whole file is converted and
// flushed; the output holds round(inputFrames * rate / inputRate) frames, starting at the
// first input frame (the converter's start-up delay already dropped). Returns the process exit
// code: 0 on success, 1 with a message on err otherwise (a partial output file is removed).
int convertFile(const ConvertOptions& options, std::ostream& out, std::ostream& err);

} // namespace quillon::tools
