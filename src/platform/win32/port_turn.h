#pragma once

#include <windows.h>

#include <chrono>
#include <string>

#include "platform/win32/win_handle.h"

namespace pelvaro {

// A run's turn at a serial port among the runs of pelvaro: a named mutex per port, so that runs
// started together use the port one after the other instead of failing on its exclusive open.
// The name is machine-wide ("Global\pelvaro-COM3"), as the port is: a run from a service or a
// scheduled task and one from a user's desktop are in different sessions and still take turns.
// A mutex is owned by the thread that took it and can be given back by that thread only; a run
// that ended holding it leaves it abandoned, which the next run takes as its turn.
class PortTurn {
 public:
  PortTurn() = default;  // no turn: the mutex could not be had, so the exclusive open alone rules
  explicit PortTurn(WinHandle taken) : mutex_(std::move(taken)) {}
  PortTurn(PortTurn&&) noexcept = default;
  PortTurn& operator=(PortTurn&& other) noexcept;
  PortTurn(const PortTurn&) = delete;
  PortTurn& operator=(const PortTurn&) = delete;
  ~PortTurn() { end(); }

  bool held() const { return mutex_.valid(); }
  // Gives the turn to the next run; from the thread that waited for it.
  void end();

 private:
  WinHandle mutex_;
};

// The mutex's name for COM`port_number`.
std::wstring port_turn_name(int port_number);

// Waits until `deadline` for the turn at COM`port_number`. Throws RuntimeError port_in_use, naming
// `port`, if another run holds it all that time. Returns a PortTurn that holds nothing if the
// mutex cannot be had (one made by another program that does not let this run in).
PortTurn wait_for_turn(int port_number, const std::string& port,
                       std::chrono::steady_clock::time_point deadline);

}  // namespace pelvaro
