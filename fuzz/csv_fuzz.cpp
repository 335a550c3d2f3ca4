// Fuzzes the reader of a ladder run's CSV log (plot), and the plot's layout
// of what it read.
//
// Input: the text of a log file.
//
// Checked: the reader accepts the log or says why, never anything else (a
// crash, an exception, a hang); a log it accepts is laid out in panels and
// written as a data file of one line per scan and a gnuplot script.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "plot_layout.h"

namespace {

[[noreturn]] void broken(const std::string &what)
{
    fprintf(stderr, "\n*** csv log: %s\n", what.c_str());
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    vhost::TrendPlot plot;
    try {
        if (!plot.read(in, "run.csv"))
            return 0;
        plot.layout();
        const std::string lines = plot.data();
        size_t n = 0;
        for (char c : lines)
            n += c == '\n';
        if (n < plot.scans())
            broken("a data file of " + std::to_string(n) + " lines for " + std::to_string(plot.scans()) + " scans");
        if (plot.script("trend.png", "trend.dat", true).empty())
            broken("no script");
    } catch (const std::exception &e) {
        broken(std::string("threw ") + e.what());
    }
    return 0;
}
