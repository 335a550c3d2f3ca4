// The host side of the service interface, shared by every host of the
// module (the reference host, the tests, the fuzz harnesses, the
// benchmarks) and by the emulated DLL's dispatcher: a dispatcher for the
// Init request and the four services the module calls, with a console that
// can be captured and a clock that is either real (monotonic milliseconds)
// or virtual (driven by the test).
//
// This header deliberately does not include windows.h or veldran.h, so that
// it can be used from either kind of translation unit.
#ifndef TOOLS_LOADER_HOSTSVC_H
#define TOOLS_LOADER_HOSTSVC_H

#include <cstdint>
#include <string>

namespace hostsvc {

// The address to store at bytes 4.. of the Init request.
void *dispatcher();

// Console.  By default text goes to stdout (flushed at once); with capture on
// it is appended to a buffer that takeConsole() returns and empties.
void captureConsole(bool on);
std::string takeConsole();
const std::string &console();

// Clock.
//  real:    HlpPtimerSet/Poll on the monotonic clock; a period of p ms runs
//           p ms to the microsecond (the mark is kept in microseconds).
//  virtual: time stands still except that every HlpPtimerPoll first advances
//           it by `msPerPoll` (default 1), and advance() moves it by hand.
void useRealClock();
void useVirtualClock(int32_t msPerPoll = 1);
void advance(int64_t ms);
int64_t nowMs();

// Service call counters, for tests.
struct Counters {
    long printfCalls = 0;
    long sprintfCalls = 0;
    long timerSets = 0;
    long timerPolls = 0;
    long otherCalls = 0; // selectors the module never uses
    int32_t lastPeriod = 0;
};
Counters &counters();
void resetCounters();

// The services themselves, for a dispatcher of another kind (the emulated
// DLL's, which formats the text from the DLL's own argument list).
int32_t svcPrintText(const std::string &text); // HlpPrintf's finished text
void svcCountSprintf();                        // HlpSprintf, formatted by the caller
int32_t svcTimerSet(int32_t msecs);
int32_t svcTimerPoll(int32_t mark);
int32_t svcOther();

} // namespace hostsvc

#endif
