// The program's FileHasher alone on a whole file, without the window or a
// job run: how long the hashing itself takes, so that a run's check can be
// told apart from what the window adds around it.
//   quilvane_bench hasher <file> <algorithm>

#include "BenchSupport.h"

#include "transfer/FileHasher.h"

#include <chrono>
#include <cstdio>
#include <thread>

int HasherMain(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s hasher <file> <algorithm>\n", argv[0]);
        return 2;
    }
    const CpuTimes cpu0 = ProcessCpu();
    const BenchClock::time_point start = BenchClock::now();
    FileHasher hasher(argv[2], argv[3]);
    // Looked at every millisecond: the end is seen within one.
    while (!hasher.Done())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double wall = SecondsSince(start);
    const CpuTimes cpu1 = ProcessCpu();
    std::printf("hash_wall=%.6f\n", wall);
    std::printf("hash_cpu=%.6f\n", cpu1.Total() - cpu0.Total());
    std::printf("bytes_hashed=%lld\n", static_cast<long long>(hasher.BytesHashed()));
    std::printf("digest=%s\n", hasher.Digest().c_str());
    if (!hasher.Error().empty()) {
        std::fprintf(stderr, "hasher: %s\n", hasher.Error().c_str());
        return 1;
    }
    return 0;
}
