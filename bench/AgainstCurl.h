#pragma once

#include "BenchContext.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A download by the program and curl fetching the same bytes into a file,
// taking turns: wall time, throughput against curl and against curl
// followed by an fdatasync of its file, CPU time and peak RSS.
struct CurlComparison {
    std::string name;    // in the progress lines
    std::string caption; // the table's first column
    int64_t bytes = 0;   // what each one fetches
    // One run of the program, its file made ready before and removed after.
    std::function<JobRun()> quilvane;
    // curl's arguments between its quiet ones and "-o FILE URL".
    std::vector<std::string> curlArgs;
    std::string url;
    std::string curlHash; // SHA-256 of what curl fetches
    // The throughput ratios to reach; none: the row states the figure only.
    std::optional<double> curlTarget, flushTarget;
    // Further rows of the program's own figures: the measure, and the key
    // of a time in seconds that its probe reports.
    std::vector<std::pair<std::string, std::string>> runFigures;
};

void MeasureAgainstCurl(BenchContext& bench, const CurlComparison& c, const std::string& folder);
