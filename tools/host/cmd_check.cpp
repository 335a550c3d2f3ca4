// check: a ladder program and an option string read against the line,
// without a scan.
#include <cstdio>

#include "check.h"
#include "commands.h"

namespace vhost {

CLI::App *addCheckCommand(CLI::App &app, CheckArgs &a)
{
    CLI::App *chk = app.add_subcommand("check", "read a ladder program and an option string against the line");
    chk->add_option("ladder", a.ladder, "ladder program (TOML)")->required();
    a.optionsGiven = chk->add_option("-o,--options", a.options, "the option string for Init");
    chk->add_option("--plant", a.plant, "plant file (the simulator's format) that describes the line");
    return chk;
}

Exit runCheckCommand(const ModuleArgs &mod, const CheckArgs &a)
{
    loader::Module m;
    Program prog;
    if (auto failed = openModuleAndLadder(mod, a.ladder, EXIT_ERRORS, m, prog))
        return *failed;
    CheckInput in;
    in.prog = &prog;
    in.table = m.table;
    in.options = a.optionsGiven->count() ? &a.options : nullptr;
    in.plantPath = a.plant;
    // The gate opens without Init, so no port is opened: the module
    // checks each rung's operands as in a scan, and the serial library
    // refuses whatever it would send.
    in.trialRun = loader::sendSetmode(m, 2) == 0;
    std::string report;
    Exit st = runCheck(in, report);
    printf("%s\n", m.said.c_str());
    fputs(report.c_str(), stdout);
    return loader::moduleStopped(m) ? EXIT_LOAD : st;
}

} // namespace vhost
