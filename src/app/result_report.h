// The five-line report the caller reads at the path from the command line,
// and the wait until the caller has taken it away.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

// The first argument that is not a switch; empty when there is none. On
// Windows switches begin with "-" or "/", elsewhere only with "-" since an
// absolute path begins with "/".
platform::PathString ReportPathFromArguments(const std::vector<platform::PathString>& arguments);

// "[tovikdownload]", status, fileSize, nameID, installAuralo, CR LF between
// the lines and none after the last.
std::string FormatResultReport(const char* status, std::int64_t fileSize, int nameId);

// At the start of the run: the path is claimed for this run's report, and an
// earlier report there emptied. false, said on standard error, where the path
// cannot be claimed (not a regular file, another run's, or a file that cannot
// be emptied): then the run must end at once, before the window.
bool PrepareReport(const platform::PathString& path);

// Chooses status and size from the shared progress and writes the report.
// false, said on standard error, when it could not be written whole: then
// there is nothing for the caller to pick up.
bool WriteResultReport(const platform::PathString& path, bool cancelled);
// The report with a given status and size.
bool WriteReport(const platform::PathString& path, const char* status, std::int64_t fileSize);

// Returns once the report can no longer be opened for reading, or after 31
// pauses of 2863 ms. pause lets the time pass (the window keeps painting).
void WaitForReportPickup(const platform::PathString& path, const std::function<void(unsigned)>& pause);
