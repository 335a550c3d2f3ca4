// The simulator without its I/O: the bytes of the line go in with the time
// they arrived, the reply bytes come out with the time they are due, and the
// control channel's text lines are answered.  The event loop in main.cpp
// moves the bytes; tests drive it with their own clock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "faults.h"
#include "plant.h"

namespace vsim {

// The log: one line per event, stamped with milliseconds since the start.
class Logger {
 public:
  explicit Logger(std::FILE* f = nullptr) : f_(f) {}
  void event(Millis now, const std::string& what);

 private:
  std::FILE* f_;
};

// Bytes as the log shows them: printable ASCII as it is, \r \n \\ and \xNN.
std::string escape(std::string_view bytes);

struct Stats {
  uint64_t commands = 0;      // lines received
  uint64_t replies = 0;       // replies sent
  uint64_t broadcasts = 0;    // ~** host OK
  uint64_t refused = 0;       // "?" replies, injected ones included
  uint64_t bad_checksum = 0;  // silent: missing or wrong checksum
  uint64_t unaddressed = 0;   // silent: nobody has the address, or garbage
  uint64_t lost = 0;          // silent: the silence fault
  uint64_t faults = 0;        // faults that struck
  uint64_t control = 0;       // control commands
};

class Simulator {
 public:
  Simulator(Plant plant, uint64_t seed, Logger log = Logger());

  void setBaud(int baud) { baud_ = baud; }
  void setTurnaround(double ms) { turnaround_ms_ = ms; }
  int baud() const { return baud_; }
  double turnaround() const { return turnaround_ms_; }
  // One character on the wire: a start bit, eight data bits, a stop bit.
  double charMs() const { return 10000.0 / baud_; }

  // Line side.
  void receive(std::string_view bytes, Millis now);
  bool hasOutput() const { return !out_.empty(); }
  Millis nextDue() const { return out_.empty() ? 0 : out_.front().due; }
  std::string takeDue(Millis now);

  // Watchdogs: the next moment one of them may expire, and letting them.
  std::optional<Millis> nextDeadline() const;
  void tick(Millis now);

  // Control side: one reply line ("OK ..." or "ERR ...") per command line.
  std::string control(const std::string& line, Millis now);
  bool quitRequested() const { return quit_; }

  Plant& plant() { return plant_; }
  FaultSet& faults() { return faults_; }
  const Stats& stats() const { return stats_; }

 private:
  void command(const std::string& line, Millis done, Millis now);
  void send(const std::string& reply, bool checksum, const std::vector<Fault>& struck, Millis done, Millis now);
  std::string controlSet(const std::vector<std::string>& w, Millis now);
  std::string controlGet(const std::vector<std::string>& w, Millis now);

  struct Out {
    Millis due;
    char byte;
  };

  Plant plant_;
  FaultSet faults_;
  Logger log_;
  Stats stats_;
  int baud_;
  double turnaround_ms_;
  std::string rx_;
  Millis rx_free_ = 0;  // when the last received character ended on the wire
  Millis tx_free_ = 0;  // when the last queued character ends on the wire
  std::deque<Out> out_;
  bool quit_ = false;
};

}  // namespace vsim
