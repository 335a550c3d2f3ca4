// plot: a log of run --log drawn as a trend image.
#include "commands.h"
#include "watch.h"

namespace vhost {

CLI::App *addPlotCommand(CLI::App &app, PlotArgs &a)
{
    CLI::App *plt = app.add_subcommand("plot", "draw a log of run --log as a trend image (PNG or SVG)");
    plt->add_option("log", a.log, "the CSV file written by run --log")->required();
    plt->add_option("-o,--output", a.image, "the image, .png or .svg")->required();
    return plt;
}

Exit runPlot(const PlotArgs &a) { return plotLog(a.log, a.image); }

} // namespace vhost
