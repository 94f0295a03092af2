#pragma once

#include "BenchContext.h"

#include <cstdint>
#include <string>

// The benchmark scenarios, numbered as the rows of the results table and run
// by the driver in that order. Each adds its rows to the context's table.

// 1. A range of almost all of a 1 GiB file, against curl, over http and
// over https; runs scenarios 2, 8, 10, 14 and 15 on the same file before
// removing it.
void LargeRange(BenchContext& bench);
// 2. The same range into a file by copy or by splice, through the zero-copy
// probe.
void CopyOrSplice(BenchContext& bench, int64_t begin, int64_t end, const std::string& rangeHash);
// 3. A range of more than 4 GiB.
void HugeRange(BenchContext& bench);
// 4. A thousand ranges of 4 KiB, against curl, with the parts of one range.
void ManyRanges(BenchContext& bench, const ManyFile& many);
// 5. The processor a run uses while it waits on a slow server.
void Waiting(BenchContext& bench, const ManyFile& many);
// 6. The cost of a range as List.xml grows.
void ListSize(BenchContext& bench, const ManyFile& many);
// 7. Hostile answers played by a loopback server: the job run's peak memory.
void HostileAnswers(BenchContext& bench);

// 10. The 1 GiB range by the program now and by the program before retries
// and records, taking turns, and with a record every second.
void Records(BenchContext& bench, const std::string& big, const std::string& bigHash, int64_t begin,
             int64_t end);
// 11. A range whose connection is reset every few MiB: the bytes fetched
// twice per drop.
void Drops(BenchContext& bench);

// A download the same-file sample is measured on.
struct SampleCase {
    std::string label;
    std::string served, hash, url; // the served file, its SHA-256 and its URL
    int64_t size;
    Ranges holes; // what the incomplete file misses
    bool sparse;  // write the incomplete copy sparse (one huge hole)
};
// 8. The cost of the same-file sample: the program now against the program
// before it, taking turns.
void SampleCost(BenchContext& bench, const SampleCase& c);

// 12. Several connections: servers that cap each connection (four holes, one
// hole, two connections allowed), against aria2c fetching as many bytes.
void SeveralConnections(BenchContext& bench);

// 13. A speed limit of 1024 KiB/s over 20 s against an uncapped nginx, with
// one connection allowed and with four.
void SpeedLimitHolds(BenchContext& bench);

// 14. The 1 GiB file of scenario 1 as a new download (Downloads > New...,
// Ok), from Ok to the end of the run, against curl fetching the whole file.
void NewDownloadBesideCurl(BenchContext& bench, const std::string& bigHash);

// 15. The same 1 GiB file as a finished download that awaits only its
// checksum, resumed, from Resume to the end of the run, against sha256sum of
// the file, with the page cache warm and with the file's pages dropped.
void ChecksumBesideSha256sum(BenchContext& bench, const std::string& big,
                             const std::string& bigHash);
