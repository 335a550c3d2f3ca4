// survey: the modules that answer on the line, at which setting; identify
// of what a survey found; and the line's bench twin written from both.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "capture.h"
#include "commands.h"
#include "hostsvc.h"
#include "platform.h"
#include "settings.h"
#include "twin.h"
#include "wire_format.h"

namespace vhost {

Exit surveyThroughModule(const ModuleArgs &mod, const SurveyOptions &opt, std::vector<SurveyFind> &found,
                         std::vector<SurveyGarbled> &garbled, bool report)
{
    loader::Module m;
    if (!openModule(mod, m))
        return EXIT_LOAD;
    hostsvc::useRealClock();
    hostsvc::captureConsole(true);
    noteDefaultDevice(opt.port);
    PortDevice dev = portDevice(opt.port);
    printf("%s\n", m.said.c_str());
    printf("survey: COM%d = %s (%s), addresses %d to %d\n", opt.port, dev.device.c_str(), dev.source.c_str(), opt.first,
           opt.last);
    fflush(stdout);
    SurveyLine line;
    line.table = m.table;
    line.init = [&](const std::string &o) { return loader::sendInit(m, &o, true); };
    if (countsReceived())
        line.received = [&opt] { return receivedOnPort(opt.port); };
    std::string error;
    garbled.clear();
    // Ctrl-C ends the survey with what it found so far.
    stopOnSignals();
    found = runSurvey(line, opt, stderr, error, &stopRequested, &garbled);
    std::string said = hostsvc::takeConsole();
    loader::sendDeinstall(m);
    hostsvc::takeConsole();
    if (!error.empty()) {
        fprintf(stderr, "%s\nveldran-host: survey: %s\n", said.c_str(), error.c_str());
        return EXIT_LINE;
    }
    if (stopRequested)
        printf("survey: interrupted; what answered until then:\n");
    if (report) {
        fputs(surveyReport(found, garbled).c_str(), stdout);
        fputs(surveyRecommendation(found, opt.port).c_str(), stdout);
        fputs(surveyMixedLine(found).c_str(), stdout);
        fputs(surveyGarbledLines(garbled, found).c_str(), stdout);
    }
    const bool stopped = loader::moduleStopped(m);
    loader::closeModule(m);
    if (stopped)
        return EXIT_LOAD;
    if (stopRequested)
        return EXIT_INTERRUPTED;
    return found.empty() ? EXIT_NO_ANSWER : EXIT_OK;
}

namespace {

// The survey through the module, its table printed.
Exit surveyLine(const ModuleArgs &mod, const SurveyOptions &opt, std::vector<SurveyFind> &found)
{
    std::vector<SurveyGarbled> garbled;
    return surveyThroughModule(mod, opt, found, garbled, true);
}

// identify of what the survey found, then its bench twin in `path`.
Exit writeTwin(int port, const std::vector<SurveyFind> &found, const std::string &path)
{
    LineOptions line;
    line.port = port;
    std::vector<ModuleIdentity> ids;
    Exit st = identifyFound(line, found, ids);
    if (st == EXIT_LINE)
        return st;
    std::vector<std::string> left;
    const std::string text = twinPlant(ids, left);
    for (const std::string &l : left)
        printf("survey: %s\n", l.c_str());
    FILE *f = fopen(path.c_str(), "wb");
    const bool written = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!f || fclose(f) != 0 || !written) {
        fprintf(stderr, "veldran-host: survey: cannot write %s: %s\n", path.c_str(), strerror(errno));
        return EXIT_USAGE;
    }
    printf("survey: the bench twin of %zu module%s written to %s (veldran-sim --plant %s)\n", ids.size() - left.size(),
           ids.size() - left.size() == 1 ? "" : "s", path.c_str(), path.c_str());
    return st;
}

// identify without addresses: a survey first, then each module it found.
Exit runIdentifyAfterSurvey(const ModuleArgs &mod, const IdentifyArgs &a)
{
    SurveyOptions opt;
    opt.port = a.line.port;
    if (a.line.baud) {
        const int code = a.line.baud / 100;
        if (a.line.baud % 100 ||
            std::find(std::begin(wire::BAUD_CODES), std::end(wire::BAUD_CODES), code) == std::end(wire::BAUD_CODES)) {
            fprintf(stderr, "veldran-host: identify: the survey tries %s baud; give the addresses to identify at %d\n",
                    wire::speedsText(wire::driverSpeeds(), "and").c_str(), a.line.baud);
            return EXIT_USAGE;
        }
        opt.bauds = {code};
    }
    if (!a.checksum.empty())
        opt.checksums = {a.checksum == "on"};
    std::vector<SurveyFind> found;
    Exit st = surveyLine(mod, opt, found);
    if (st != EXIT_OK)
        return st;
    LineOptions line = a.line;
    std::vector<ModuleIdentity> ids;
    return identifyFound(line, found, ids);
}

} // namespace

CLI::App *addSurveyCommand(CLI::App &app, SurveyArgs &a)
{
    CLI::App *sur =
        app.add_subcommand("survey", "find the modules that answer, at which baud rate and checksum setting");
    addPortOption(sur, a.survey.port);
    sur->add_option("--baud", a.survey.bauds, "baud rates to try, in hundreds (96,192,384,576,1152; default all)")
        ->delimiter(',')
        ->check(CLI::IsMember(std::vector<int>(std::begin(wire::BAUD_CODES), std::end(wire::BAUD_CODES))));
    sur->add_option("--checksum", a.checksum, "checksum setting to try: off or on (default both)")
        ->check(CLI::IsMember({"off", "on"}));
    sur->add_option("--from", a.survey.first, "first address")->check(CLI::Range(0, 255))->capture_default_str();
    sur->add_option("--to", a.survey.last, "last address")->check(CLI::Range(0, 255))->capture_default_str();
    sur->add_option("--timeout", a.survey.timeoutMs,
                    "time-out in ms of the status reads (default: their wire time plus a margin); the reads "
                    "of a module found get it plus their longer wire time")
        ->check(CLI::Range(wire::TIMEOUT_MIN, wire::TIMEOUT_MAX));
    sur->add_option("--write-plant", a.writePlant,
                    "then identify what answered and write the line's bench twin: a plant file for veldran-sim");
    addCaptureOption(sur, a.capturePath);
    return sur;
}

Exit runSurveyCommand(const ModuleArgs &mod, const SurveyArgs &a)
{
    SurveyOptions opt = a.survey;
    if (opt.first > opt.last) {
        fprintf(stderr, "veldran-host: survey: --from %d is above --to %d\n", opt.first, opt.last);
        return EXIT_USAGE;
    }
    if (!a.checksum.empty())
        opt.checksums = {a.checksum == "on"};
    // The survey and the twin's identify, both.
    capture::Recording capture;
    if (!capture.start(a.capturePath))
        return EXIT_USAGE;
    std::vector<SurveyFind> found;
    Exit st = surveyLine(mod, opt, found);
    if (st != EXIT_OK || a.writePlant.empty())
        return st;
    return writeTwin(opt.port, found, a.writePlant);
}

Exit runIdentifyCommand(const ModuleArgs &mod, const IdentifyArgs &a)
{
    return a.addresses.empty() && a.from < 0 && a.to < 0 ? runIdentifyAfterSurvey(mod, a) : runIdentify(a);
}

} // namespace vhost
