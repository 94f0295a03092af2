// The texts about a download's connections: the info row written whenever
// their number changes, and what the status line adds while several fetch.
#pragma once

#include "transfer/ConnectionPlan.h"

#include <string>

class QLocale;

// "second", "third", ... for the n-th connection (1 to 16), else "17th".
std::string ConnectionOrdinal(int n);

// The info row for a decision about the connections (empty for one that
// says nothing). `status` is the refused or ignoring answer's status line
// (empty when none came); `rateBefore` is the download's total rate before
// the connection being opened or judged, `rateNow` the rate with it.
std::string ConnectionChangeText(const ConnectionPlan::Decision& decision,
                                 const std::string& status, double rateBefore, double rateNow,
                                 const QLocale& locale);

// What the status line adds: "3 connections, 11.8 MiB/s"; nothing for one.
std::string ConnectionsText(int connections, double bytesPerSecond, const QLocale& locale);
