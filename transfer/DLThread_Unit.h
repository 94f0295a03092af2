#pragma once

#include "http/HttpClient.h"
#include "transfer/RequestResult.h"

class IncompleteFile;
class SpeedLimit;

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// The transfer worker: one background thread that performs every HTTP request
// of the program, one at a time. The window thread writes the settings and
// URL while no request is pending, raises a flag, waits for the worker to
// clear it again, and only then reads the results. Raising a flag wakes the
// worker at once; the 50 ms poll is only its upper bound.
class tHTTPThread {
public:
    // onRequestEnded runs on the worker thread each time it has cleared a
    // flag or made more of a fetch's bytes durable, so that a waiting window
    // thread can wake up.
    explicit tHTTPThread(std::function<void()> onRequestEnded = {});
    // Raises the terminate request, aborts a request in progress and waits
    // until the thread has ended.
    ~tHTTPThread();
    tHTTPThread(const tHTTPThread&) = delete;
    tHTTPThread& operator=(const tHTTPThread&) = delete;

    // Request flags: set by the window thread, cleared by the worker once all
    // results are written (release), read with acquire.
    std::atomic<bool> FetchPending{false};
    std::atomic<bool> ProbePending{false};
    std::atomic<bool> SamplePending{false};

    // The download's URL: the probe asks it, and the client's credential
    // belongs to its server.
    std::string URL;
    // Where the sample and the fetches go: the URL the probe ended at after
    // its redirects. Empty: URL.
    std::string FetchURL;
    HttpClient Client;

    // Where a fetch writes its range: set by the window thread before
    // RequestFetch, like the client's byte-range text. The file stays open
    // and untouched by the window thread until the worker is no longer Busy().
    // A sample reads begin..end of a file of fileSize bytes into memory and
    // needs no file.
    struct FetchTarget {
        IncompleteFile* file = nullptr;
        std::int64_t begin = 0;
        std::int64_t end = 0;
        std::int64_t fileSize = 0;
        // How often what arrived is made durable while the range arrives:
        // at least this often, and at every multiple of durableEveryBytes
        // (when not 0).
        std::chrono::milliseconds durableEvery{10000};
        std::int64_t durableEveryBytes = 0;
    };
    FetchTarget Target;
    // The download's speed limit, shared with its other connections (none:
    // no limit); set like Target.
    std::shared_ptr<SpeedLimit> Limit;

    // The bytes of the range in hand written so far, and of those the ones
    // on disk (flushed), counted from the range's begin: the window reads
    // them while it waits, at any time, and the durable count once the
    // fetch has ended in whatever way, withdrawn ones included.
    std::atomic<std::int64_t> RangeBytesWritten{0};
    std::atomic<std::int64_t> RangeBytesDurable{0};
    // The window may cut the fetch under way: set, the range ends after this
    // file offset, the fetch is taken once the bytes up to it are durable,
    // and a connection whose server goes on sending is closed. Negative: no
    // cut; RequestFetch clears it.
    std::atomic<std::int64_t> StopAfter{-1};

    // Each returns the number of its request, for Result().
    uint64_t RequestProbe();
    uint64_t RequestFetch();
    // A GET of the fetch's form for Target's range, read into the result's
    // SampleBytes and never written anywhere.
    uint64_t RequestSample();
    // Withdraws the fetch: one not yet begun never begins; one under way is
    // aborted on its socket and its results never count.
    void CancelFetch();
    // Withdraws the probe: one not yet begun never begins; one under way is
    // aborted on its socket. ProbePending is clear at once.
    void CancelProbe();
    // The same for the sample.
    void CancelSample();
    // Withdraws whatever request is pending or under way (shut-down).
    void AbortRequest();

    // How request `serial` ended, once its flag is clear and the worker is no
    // longer Busy(): a request that was withdrawn, or never ran, reads as
    // Withdrawn.
    RequestResult Result(uint64_t serial) const;
    // True while the worker is inside a request (including a withdrawn one
    // that is still unwinding). Settings may be written only when false and
    // no flag is set.
    bool Busy() const;

    // Turns a failure message into the status text: " SERVER ERROR: " and the
    // part after the first line feed (the whole message when it has none).
    static std::string CaptureErrorText(const std::string& message);

private:
    enum class Request { None, Probe, Fetch, Sample };

    // Raises a request's flag under a new number, kept in pendingSerial.
    uint64_t Raise(std::atomic<bool>& flag, uint64_t& pendingSerial);
    void Run();
    RequestResult Probe();
    // The probe as a GET of the first byte, for a server that refuses HEAD.
    RequestResult ProbeByGet();
    RequestResult Fetch();
    RequestResult Sample();
    // The result of the client's last answer: its status, code and URL.
    RequestResult Answered() const;
    // The result of a request that failed: its message as the status text.
    RequestResult Failed(const std::exception& failure) const;
    const std::string& FetchAddress() const { return FetchURL.empty() ? URL : FetchURL; }
    // With mutex_ held: the request under way, if it is of that kind (any
    // kind for None), is aborted on its socket and its results never count.
    void WithdrawRunning(Request kind);

    std::function<void()> onRequestEnded_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool terminate_ = false;
    Request current_ = Request::None;
    bool withdrawn_ = false;
    uint64_t lastSerial_ = 0;   // the number of the latest request raised
    uint64_t probeSerial_ = 0;  // the probe that ProbePending asks for
    uint64_t fetchSerial_ = 0;  // the fetch that FetchPending asks for
    uint64_t sampleSerial_ = 0; // the sample that SamplePending asks for
    uint64_t activeSerial_ = 0; // the request under way
    uint64_t resultSerial_ = 0; // the latest request that ran to its end
    RequestResult result_;      // and how it ended
    std::thread thread_;
};

// Proxy settings of the worker's client: both host and port non-empty set
// the proxy (the port converted to an integer, which may throw AppError after
// the host was set); otherwise all four are cleared.
void SetProxy(HttpClient& client, const std::string& host, const std::string& port,
              const std::string& user, const std::string& password);
// Server credentials of the worker's client: a non-empty user sets both,
// otherwise both are cleared. The credential a server asked for before is
// forgotten either way: these settings are another download's, or changed.
void SetCredentials(HttpClient& client, const std::string& user, const std::string& password);
