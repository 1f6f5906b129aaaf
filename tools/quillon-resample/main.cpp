// quillon-resample IN.wav OUT.wav --rate R [--quality 0-4] [--format f64|f32|s24|s16]
// quillon-resample --measure --from R1 --rate R2 [--quality 0-4] [--curves FILE.csv]
// Converts a WAV file with the server's sample-rate converters, so they can be heard and
// measured without a driver.
#include <CLI/CLI.hpp>

#include <iostream>
#include <map>

#include "convert_file.h"
#include "measure.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    // The same bits as the server's worker thread, whichever thread this is.
    quillon::platform::useStandardFloatPrecision();
    using quillon::tools::OutputFormat;
    CLI::App app{"Converts the sample rate of a WAV file with Quillon's resamplers.",
                 "quillon-resample"};
    quillon::tools::ConvertOptions options;
    app.add_option("input", options.input, "WAV file to read (PCM 8/16/24/32-bit or float 32/64)");
    app.add_option("output", options.output, "WAV file to write");
    app.add_option("-r,--rate", options.rate, "Output sample rate in Hz")
        ->required()
        ->check(CLI::PositiveNumber);
    bool measure = false;
    quillon::tools::MeasureOptions measured;
    app.add_flag("--measure", measure,
                 "Measure the converter from --from to --rate on generated tones (no files): "
                 "pass band, stop band, delay, set-up time and speed");
    app.add_option("--from", measured.inputRate, "Input rate for --measure")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--curves", measured.curves,
                   "With --measure: write the tone sweep (frequency, gain, worst spur) as CSV");
    app.add_option("-q,--quality", options.quality,
                   "Quality level: 0 (96 dB) to 4 (200 dB stop band)")
        ->check(CLI::Range(0, 4))
        ->capture_default_str();
    const std::map<std::string, OutputFormat> formats{{"f64", OutputFormat::f64},
                                                      {"f32", OutputFormat::f32},
                                                      {"s24", OutputFormat::s24},
                                                      {"s16", OutputFormat::s16}};
    std::string format = "f64";
    app.add_option("-f,--format", format, "Output samples: f64, f32, s24 or s16")
        ->check(CLI::IsMember({"f64", "f32", "s24", "s16"}))
        ->capture_default_str();
    app.add_flag("--quiet", options.quiet, "Print neither the design nor the progress bar");
    CLI11_PARSE(app, argc, argv);
    if (measure) {
        measured.outputRate = options.rate;
        measured.quality = options.quality;
        return quillon::tools::measureConverter(measured, std::cout, std::cerr);
    }
    if (options.input.empty() || options.output.empty()) {
        std::cerr << "quillon-resample: an input and an output file are needed (or --measure)\n";
        return 1;
    }
    options.format = formats.at(format);
    return quillon::tools::convertFile(options, std::cout, std::cerr);
}
