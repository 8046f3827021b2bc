// Ends a test run loudly, naming the case that was running, when the code
// under test faults or hangs.
//
// Cases run in-process, many thousands of them; a fault must not pass as a
// plain crash of the test program, and a case that never returns must not
// wait for CTest's timeout. The fault reporter is a first-chance handler
// (it also sees faults that a system call would otherwise swallow); the
// watchdog is a thread that ends the process when one case runs too long.
#pragma once

#include <string>

const int kFaultExitCode = 97;  // access violation or another fatal exception
const int kHangExitCode = 98;   // a case ran past the watchdog's limit
const int kAbortExitCode = 99;  // the test harness found an impossible state

// Installs the fault reporter (idempotent).
void InstallFaultReporter();
// Starts the watchdog thread (once per process).
void StartWatchdog(unsigned seconds);

// Names the running case in reports; StartCase also restarts the
// watchdog's clock, EndCase stops it.
void StartCase(const std::string &id);
void EndCase();

// Writes "ABORT: what (case ...)" to standard error and ends the process.
[[noreturn]] void ReportAndExit(const char *what);
