// quillon-resample --measure: a converter's figures, measured by running it on
// generated tones rather than read from its design.
#pragma once

#include <ostream>
#include <string>

namespace quillon::tools {

struct MeasureOptions {
    int inputRate = 44100;
    int outputRate = 48000;
    int quality = 2;
    std::string curves; // CSV of the tone sweep: frequency, gain and worst spur; empty: none
};

struct Measurement {
    double passEdgeHz = 0; // the gain stays within +-0.001 dB up to here
    double minus3dBHz = 0; // where the gain falls to -3 dB
    double rippleDb = 0;   // largest gain deviation below passEdgeHz
    double stopBandDb = 0; // worst image or alias of any tone, below the tone's level
    double delayMs = 0;    // output behind input right after a step: the filters' delay
    double latencyMs = 0;  // the most the output falls behind, block filling included
    double setupMs = 0;    // building the converter
    double speed = 0;      // seconds of stereo converted per second
};

// Runs the measurement and prints it (and writes the curves). Returns the exit
// code: 0, or 1 with a message on err when the rates or quality are refused.
int measureConverter(const MeasureOptions& options, std::ostream& out, std::ostream& err);

} // namespace quillon::tools
