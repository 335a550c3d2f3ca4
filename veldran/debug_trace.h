// The beginnings of the lines the module prints with the DEBUG option, named
// here once for the module's formats and for the tools that pick the
// failures out of what the module printed.  Each trace starts on a line of
// its own ("\n" before the text below); the formats are made by putting
// string literals side by side, so they stay literals the compiler checks.
//
//   "\n" TRACE_FAILED "%d  ec=%d"                      " addr=4  ec=1005"
//   "\n" TRACE_REPLY "%s"                              "rec: >00FF"
//   "\n" TRACE_COUNT "%d sts=%4X \n\tstr=%s"           "rec: cnt=58 sts=   0 \n\tstr=>+01.000..."
//   "\n" TRACE_CHECKSUM " rec: %x  cal: %x"            "InvalidChecksum: rec: 32  cal: 32"
#ifndef VELDRAN_DEBUG_TRACE_H
#define VELDRAN_DEBUG_TRACE_H

// An instruction that failed: its address and the code it stored.
#define TRACE_FAILED " addr="
// A reply as it was received (the reads that echo theirs).
#define TRACE_REPLY "rec: "
// An analog reply whose length does not fit: its length, the channel mask
// and the reply.
#define TRACE_COUNT TRACE_REPLY "cnt="
// A reply whose checksum is wrong: the one received and the one computed.
#define TRACE_CHECKSUM "InvalidChecksum:"

// The traces that only a failure prints (a reply trace is printed for a
// good read too).
constexpr const char *FAILURE_TRACES[] = {TRACE_FAILED, TRACE_CHECKSUM, TRACE_COUNT};

#endif
