// `veldran-host survey`: which modules answer on the line, at which baud
// rate and checksum setting, and which read instructions each answers.
// Everything goes through the loaded module: it is re-initialised with the
// option string of each setting and asked for each address's status with
// I7RDMS.
#ifndef TOOLS_HOST_SURVEY_H
#define TOOLS_HOST_SURVEY_H

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "veldran.h"

namespace vhost {

struct SurveyOptions {
    int port = 1;
    std::vector<int> bauds;      // "BAUD=" codes; empty: all five
    std::vector<bool> checksums; // empty: off and on
    int first = 0, last = 255;   // address range
    int timeoutMs = 0;           // 0: from the baud rate
};

struct SurveyFind {
    int addr = 0;
    int baud = 0; // bit/s
    bool checksum = false;
    int status = 0;                     // the status byte
    double ms = 0;                      // response time of the status read
    unsigned dec = 0, hex = 0, din = 0; // codes of the read tries
    std::string answers;                // "analog read (decimal)", ...
    double excessMs = 0;                // of `ms`, beyond its wire time: turn-around and delivery
};

// An address whose status reads came garbled on every try at a setting (a
// reply of the wrong length, or with a wrong checksum, or, asked again with
// time to spare, bytes but no whole reply before the time-out: code
// EC_TIMEOUT): on a line that is otherwise clean, the replies of two modules
// that share the address.
struct SurveyGarbled {
    int addr = 0;
    int baud = 0; // bit/s
    bool checksum = false;
    unsigned code = 0; // the last try's code
};

struct SurveyLine {
    // Sends Init with an option string; returns its code (the module's
    // console text is the caller's).
    std::function<ERRCODE(const std::string &options)> init;
    const FUNCDEF *table = nullptr;
    // The count of bytes that reached the port so far (any count that grows
    // with each byte), or null where the serial library cannot say.  With
    // it, the survey's status reads wait only a little beyond what the line
    // was measured to need: an address whose time-out passed while bytes
    // came is asked again with time to spare.  Without it they wait long
    // enough for a slow module behind a serial adapter.
    std::function<int64_t()> received;
};

// Runs the survey, progress on `progress`; returns what answered.  `error`
// is set (and nothing more tried) when an Init fails.  A non-zero `*stop`
// (Ctrl-C) ends it after the exchange under way; what answered until then
// is returned, a module not yet tried with the reads "not tried".  The
// addresses whose replies came garbled go to `garbled`, when given.
std::vector<SurveyFind> runSurvey(const SurveyLine &line, const SurveyOptions &opt, FILE *progress, std::string &error,
                                  volatile std::sig_atomic_t *stop = nullptr,
                                  std::vector<SurveyGarbled> *garbled = nullptr);
// What the garbled addresses suggest: at one or two addresses of a line
// otherwise clean, more than one module at each, and what to do (an address
// that gave no valid reply at any setting in `found` said to be one where
// something answers garbled); at more, a line that garbles replies.  "" when
// nothing came garbled.
std::string surveyGarbledLines(const std::vector<SurveyGarbled> &garbled, const std::vector<SurveyFind> &found);
// What to do about replies at `address` that come garbled while the rest of
// the line is clean (survey and identify say it alike).
std::string duplicateAdvice(int address);
// "something answers at 01h, but garbled: more than one module at 01h?": an
// address where bytes came but never a valid reply; and what to do then.
std::string garbledAnswer(int address);
std::string duplicateRemedy(int address);
// The report: the table and the addresses that answered at more than one
// setting.  With nothing found, "no module answered", unless something
// answered garbled (`garbled`, which surveyGarbledLines tells of).
std::string surveyReport(const std::vector<SurveyFind> &found, const std::vector<SurveyGarbled> &garbled = {});
// What the survey measured, and the option string that reaches the most
// modules with the time-out the slowest reply there needs and the latency
// the line's delivery needs; "" when nothing answered.
std::string surveyRecommendation(const std::vector<SurveyFind> &found, int port);
// When no one setting reaches every address that answered, a line that
// says so: the setting that reaches most (the first of them in the survey's
// order, without checksums first, slowest first) and the addresses it
// leaves out, with the settings they answered at; "" otherwise.
std::string surveyMixedLine(const std::vector<SurveyFind> &found);

} // namespace vhost

#endif
