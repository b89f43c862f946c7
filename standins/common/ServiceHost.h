#pragma once
// Runs a stand-in as a real own-process service. It records its start, each
// stop control and its stop; it re-reads its settings at each control and
// every quarter second while running:
//   refuse_stop    the stop control is not accepted (SERVICE_ACCEPT_STOP is
//                  withdrawn, so ControlService fails with 1052)
//   stop_delay_ms  after the stop control it reports SERVICE_STOP_PENDING for
//                  this long before SERVICE_STOPPED

#include <string>

namespace standin {

// Connects to the service manager as the service `name` and returns when the
// service has stopped: true. False when StartServiceCtrlDispatcherW fails.
bool RunAsService(const std::wstring& name);

// Whether the parent process is the service manager ("services.exe"). The
// dispatcher of a process that was not started by it takes seconds to give up,
// so a command-line start asks this first.
bool StartedByServiceManager();

}  // namespace standin
