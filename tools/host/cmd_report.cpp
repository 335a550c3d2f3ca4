// report: the as-built and loop-check report of a design, from the
// commissioning record and the loop check's results, as one printable HTML
// page and the same data as JSON beside it.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "commands.h"
#include "report.h"
#include "sha256.h"
#include "timestamp.h"
#include "veldran_version.h"

namespace vhost {

namespace {

// A JSON file's value; says why on stderr when it cannot be had.
bool readJson(const std::string &path, json::Value &v)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "veldran-host: report: cannot read %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    if (!json::parse(text, v, error)) {
        fprintf(stderr, "veldran-host: report: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

bool writeFile(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    const bool written = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!f || fclose(f) != 0 || !written) {
        fprintf(stderr, "veldran-host: report: cannot write %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// The COM port the record was made on ("1", "COM2"); 1 when it says none.
int portOf(const std::string &port)
{
    size_t i = port.size();
    while (i > 0 && isdigit(static_cast<unsigned char>(port[i - 1])))
        --i;
    const int n = i < port.size() ? atoi(port.c_str() + i) : 1;
    return n >= 1 && n <= 4 ? n : 1;
}

std::string baseName(const std::string &path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The records and the design; false after saying why.
bool readInputs(const ReportArgs &a, ReportInput &in)
{
    try {
        in.design = vsim::loadPlant(a.design);
    } catch (const vsim::PlantError &e) {
        fprintf(stderr, "veldran-host: report: %s\n", e.what());
        return false;
    }
    in.designFile = a.design;
    in.designSha = sha256OfFile(a.design).value_or("");
    json::Value loop;
    std::string error;
    if (!readJson(a.asBuilt, in.asBuilt) || !readJson(a.loopcheck, loop))
        return false;
    if (in.asBuilt.str("kind") != "veldran-as-built") {
        fprintf(stderr, "veldran-host: report: %s is no as-built record (\"kind\" is not \"veldran-as-built\")\n",
                a.asBuilt.c_str());
        return false;
    }
    if (!resultsFrom(loop, in.loop, error)) {
        fprintf(stderr, "veldran-host: report: %s: %s\n", a.loopcheck.c_str(), error.c_str());
        return false;
    }
    in.asBuiltFile = a.asBuilt;
    in.loopFile = a.loopcheck;
    return true;
}

} // namespace

CLI::App *addReportCommand(CLI::App &app, ReportArgs &a)
{
    CLI::App *rep = app.add_subcommand("report", "the as-built and loop check report: a printable HTML page and JSON");
    rep->add_option("design", a.design, "the design (a plant file with [[point]] tables)")->required();
    rep->add_option("--as-built", a.asBuilt, "the commissioning record (commission --record)")->required();
    rep->add_option("--loopcheck", a.loopcheck, "the loop check's results (loopcheck --results)")->required();
    rep->add_option("--engineer", a.engineer, "who hands the line over (default: the user's name)");
    rep->add_option("-o,--output", a.output, "the HTML page; the JSON goes beside it (.json)")->required();
    return rep;
}

Exit runReport(const ModuleArgs &mod, const ReportArgs &a)
{
    ReportInput in;
    if (!readInputs(a, in))
        return EXIT_USAGE;
    // The driver file the host loads: its name, version and check sum.
    loader::Module m;
    if (!openModule(mod, m))
        return EXIT_LOAD;
    in.driverFile = baseName(m.file);
    in.driverVersion = m.version.empty() ? VELDRAN_VERSION : m.version;
    in.driverSha = sha256OfFile(m.file).value_or("");
    loader::closeModule(m);
    in.options = designOptions(in.design, portOf(in.asBuilt.str("port")));
    in.date = isoTimestamp();
    const char *user = getenv("USER");
    in.engineer = !a.engineer.empty() ? a.engineer : user ? user : "";
    const json::Value report = reportValue(in);
    const size_t dot = a.output.size() > 5 && a.output.compare(a.output.size() - 5, 5, ".html") == 0
                           ? a.output.size() - 5
                           : a.output.size();
    const std::string jsonPath = a.output.substr(0, dot) + ".json";
    if (!writeFile(a.output, reportHtml(report)) || !writeFile(jsonPath, json::write(report)))
        return EXIT_USAGE;
    printf("report: %s and %s: %zu modules read back, %zu differences, %zu of %zu points left open\n", a.output.c_str(),
           jsonPath.c_str(), report.find("as_built")->list("line").size(), report.list("differences").size(),
           report.list("open").size(), report.list("points").size());
    return EXIT_OK;
}

} // namespace vhost
