#pragma once
// The long-running stand-ins (kextd, SystemUIServer): processes that exist so that
// process lookup by name finds them, that take SIGHUP as the real ones do, and
// that end with status 0 on SIGTERM or SIGINT.
//
// BlockServiceSignals() must run first thing in main, before any other thread
// exists, so that a signal sent right after the process starts is waited for
// rather than ending it.

#include <functional>

#include "sim/tools/tool_support.h"

namespace sim::tools {

void BlockServiceSignals();

// Waits for the blocked signals: `on_hangup` for each SIGHUP; returns at SIGTERM
// or SIGINT.
void WaitForTermination(const std::function<void()>& on_hangup);

// kextd: appends "kextd[pid]: started", "kextd[pid]: SIGHUP n" for the n-th SIGHUP
// and "kextd[pid]: stopped" to the machine's /var/log/kextd.log. Fails (status 1)
// when it cannot write there.
int Kextd(const ToolCall& call);
// SystemUIServer: appends "SystemUIServer[pid]: started" to the machine's
// /var/log/SystemUIServer.log when it can, then waits until told to end; SIGHUP
// changes nothing.
int SystemUiServer(const ToolCall& call);

}  // namespace sim::tools
