// The as-built and loop-check report of a design: the line as commissioning
// read it back, the design it was checked against, every difference, every
// point's result, the driver file and the option string for the
// controller.  Its data is one JSON value, and the HTML page is made from
// that value, so that the two can never say different things.
#ifndef TOOLS_HOST_REPORT_H
#define TOOLS_HOST_REPORT_H

#include <string>

#include "json.h"
#include "loopcheck.h"
#include "plant.h"

namespace vhost {

struct ReportInput {
    vsim::Plant design;
    std::string designFile, designSha;
    json::Value asBuilt; // the commissioning record ("veldran-as-built")
    std::string asBuiltFile;
    LoopResults loop;
    std::string loopFile;
    std::string driverFile, driverVersion, driverSha;
    std::string options, date, engineer;
};

json::Value reportValue(const ReportInput &in);
// One self-contained page: inline styles that print to clean pages, no
// scripts, nothing fetched.
std::string reportHtml(const json::Value &report);

} // namespace vhost

#endif
