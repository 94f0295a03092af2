// quilvane_bench: the benchmark driver and the probes it runs as its own
// child processes.

#include <cstdio>
#include <cstring>
#include <exception>

int DriverMain(int argc, char** argv);
int JobRunMain(int argc, char** argv);
int NewDownloadMain(int argc, char** argv);
int ChecksumMain(int argc, char** argv);
int HasherMain(int argc, char** argv);
int PartsMain(int argc, char** argv);
int ZeroCopyMain(int argc, char** argv);
int SampleMain(int argc, char** argv);

int main(int argc, char** argv) {
    try {
        if (argc >= 2 && std::strcmp(argv[1], "driver") == 0) return DriverMain(argc, argv);
        if (argc >= 2 && std::strcmp(argv[1], "jobrun") == 0) return JobRunMain(argc, argv);
        if (argc >= 2 && std::strcmp(argv[1], "newdownload") == 0)
            return NewDownloadMain(argc, argv);
        if (argc >= 2 && std::strcmp(argv[1], "checksum") == 0) return ChecksumMain(argc, argv);
        if (argc >= 2 && std::strcmp(argv[1], "hasher") == 0) return HasherMain(argc, argv);
        if (argc >= 2 && std::strcmp(argv[1], "parts") == 0) return PartsMain(argc, argv);
        if (argc >= 2 && std::strcmp(argv[1], "zerocopy") == 0) return ZeroCopyMain(argc, argv);
        if (argc >= 2 && std::strcmp(argv[1], "sample") == 0) return SampleMain(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: %s driver|jobrun|newdownload|checksum|hasher|parts|zerocopy|sample ...\n",
                 argv[0]);
    return 2;
}
