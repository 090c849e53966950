#include "acquisition_options.h"

#include "recording.h"
#include "fifo_verdict.h"

namespace kv318::cli {

namespace {

const char* const kClockHelp =
    "converter clock in Hz (default 2000000).  The library cannot read the board's clock: this sets the "
    "time axis and the WAV rate, and is stored in the recording so a wrong value can be corrected later";

const std::string kFifoHelp = "the board's FIFO in bytes, " + std::to_string(kFifoBytes.min) + "-" +
                              std::to_string(kFifoBytes.max) + " (default " +
                              std::to_string(analysis::kBoardFifoBytes) +
                              "): exit 5 when a gap between the library's drains was long enough to fill it";

const std::string kDividerHelp =
    "sample clock divider, " + std::to_string(kDivider.min) + "-" + std::to_string(kDivider.max) + " (default 50)";

}  // namespace

CLI::Option* seconds_option(CLI::App* cmd, const std::string& name, const char* what, double* field,
                            const std::string& help) {
    return cmd
        ->add_option_function<std::string>(
            name,
            [field, what](const std::string& text) {
                double v = 0;
                const std::string bad = parse_seconds(what, text, &v);
                if (!bad.empty()) throw CLI::ValidationError(bad);
                *field = v;
            },
            help)
        ->type_name("S");
}

void acquisition_options(CLI::App* cmd, Invocation* inv) {
    static const char* kFlagHelp[4] = {"mode flag 1 (mode bit 0)", "mode flag 2 (mode bit 2)",
                                       "mode flag 3 (mode bit 1)", "mode flag 4 (mode bit 3)"};
    number_option(cmd, "-d,--divider", &inv->stream.divider, kDivider, kDividerHelp);
    for (int i = 0; i < 4; ++i) {
        cmd->add_flag_function(
            "--flag" + std::to_string(i + 1),
            [inv, i](std::int64_t count) { inv->stream.flags[i] = count > 0 ? 1 : 0; }, kFlagHelp[i]);
    }
    number_option(cmd, "--clock", &inv->clockHz, kClockHz, kClockHelp);
    number_option(cmd, "--fifo-bytes", &inv->stream.fifoBytes, kFifoBytes, kFifoHelp);
    cmd->add_option(
        "-o,--output", inv->output,
        "output file (default: standard output); its extension .csv, .raw, .wav, .hdf5 or .h5 sets the format");
    cmd->add_option_function<std::string>(
           "-f,--format",
           [inv](const std::string& text) {
               const std::string bad = parse_format(text, &inv->format);
               if (!bad.empty()) throw CLI::ValidationError(bad);
               inv->formatGiven = true;
           },
           format_help())
        ->type_name(format_names());
}

}  // namespace kv318::cli
