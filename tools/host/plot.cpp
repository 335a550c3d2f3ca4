// The trend plot: a ladder run's log read back, laid out in panels
// (plot_layout.h) and drawn by gnuplot.
#include "plot.h"

#include <cctype>
#include <cstdio>
#include <fstream>

#include "plot_layout.h"

namespace vhost {

#ifdef _WIN32
Exit plotLog(const std::string &, const std::string &)
{
    fprintf(stderr, "veldran-host: plot needs the native veldran-host and gnuplot (Debian package gnuplot-nox): "
                    "copy the log to Linux and run `veldran-host plot LOG.csv -o trend.png` there\n");
    return EXIT_NO_PLOT;
}
#else
namespace {

// gnuplot's exit status with the script on its input (-1: it did not start).
int runGnuplot(const std::string &script)
{
    FILE *gp = popen("gnuplot", "w");
    if (!gp)
        return -1;
    fputs(script.c_str(), gp);
    return pclose(gp);
}

bool writeFile(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

} // namespace

Exit plotLog(const std::string &csv, const std::string &image)
{
    std::string ext = image.size() > 4 ? image.substr(image.size() - 4) : "";
    for (char &c : ext)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (ext != ".png" && ext != ".svg") {
        fprintf(stderr, "veldran-host: plot: %s: the image must be a .png or an .svg file\n", image.c_str());
        return EXIT_USAGE;
    }
    TrendPlot plot;
    std::ifstream in(csv);
    if (!plot.read(in, csv))
        return EXIT_USAGE;
    plot.layout();
    std::string data = image + ".data";
    if (!writeFile(data, plot.data())) {
        fprintf(stderr, "veldran-host: plot: cannot write %s\n", data.c_str());
        return EXIT_USAGE;
    }
    int st = runGnuplot(plot.script(image, data, ext == ".png"));
    remove(data.c_str());
    if (st != 0) {
        fprintf(stderr, "veldran-host: plot: gnuplot could not make %s (the Debian package gnuplot-nox brings it)\n",
                image.c_str());
        return EXIT_NO_PLOT;
    }
    printf("plot: %s, %zu scans, %zu module%s\n", image.c_str(), plot.scans(), plot.modules(),
           plot.modules() == 1 ? "" : "s");
    return EXIT_OK;
}
#endif

} // namespace vhost
