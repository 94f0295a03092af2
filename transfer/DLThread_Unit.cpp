#include "transfer/DLThread_Unit.h"

#include "common/HttpFailure.h"
#include "common/Texts.h"
#include "http/AnswerParse.h"
#include "http/Url.h"
#include "net/SocketError.h"
#include "transfer/LimitedSink.h"
#include "transfer/RangeSample.h"
#include "transfer/RangeWriter.h"

#include <chrono>

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr const char* kServerError = " SERVER ERROR: ";

} // namespace

tHTTPThread::tHTTPThread(std::function<void()> onRequestEnded)
    : onRequestEnded_(std::move(onRequestEnded)) {
    Client.MaxRedirects = 15;
    Client.MaxAuthAttempts = 3;
    // The thread starts last, when every field is in place.
    thread_ = std::thread([this] { Run(); });
}

tHTTPThread::~tHTTPThread() {
    {
        std::lock_guard lock(mutex_);
        terminate_ = true;
        WithdrawRunning(Request::None);
    }
    wake_.notify_all();
    thread_.join();
}

uint64_t tHTTPThread::Raise(std::atomic<bool>& flag, uint64_t& pendingSerial) {
    uint64_t serial;
    {
        std::lock_guard lock(mutex_);
        serial = pendingSerial = ++lastSerial_;
        flag.store(true, std::memory_order_release);
    }
    wake_.notify_all();
    return serial;
}

uint64_t tHTTPThread::RequestProbe() {
    return Raise(ProbePending, probeSerial_);
}

uint64_t tHTTPThread::RequestFetch() {
    // The window reads these while it waits: nothing of the previous
    // fetch may be taken for this one's before the worker has begun it.
    RangeBytesWritten.store(0, std::memory_order_relaxed);
    RangeBytesDurable.store(0, std::memory_order_release);
    StopAfter.store(-1, std::memory_order_release);
    return Raise(FetchPending, fetchSerial_);
}

void tHTTPThread::CancelFetch() {
    std::lock_guard lock(mutex_);
    FetchPending.store(false, std::memory_order_release);
    WithdrawRunning(Request::Fetch);
}

uint64_t tHTTPThread::RequestSample() {
    return Raise(SamplePending, sampleSerial_);
}

void tHTTPThread::CancelSample() {
    std::lock_guard lock(mutex_);
    SamplePending.store(false, std::memory_order_release);
    WithdrawRunning(Request::Sample);
}

void tHTTPThread::CancelProbe() {
    std::lock_guard lock(mutex_);
    ProbePending.store(false, std::memory_order_release);
    WithdrawRunning(Request::Probe);
}

void tHTTPThread::AbortRequest() {
    std::lock_guard lock(mutex_);
    FetchPending.store(false, std::memory_order_release);
    WithdrawRunning(Request::None);
}

void tHTTPThread::WithdrawRunning(Request kind) {
    if (current_ == Request::None || (kind != Request::None && current_ != kind)) return;
    withdrawn_ = true;
    Client.Abort();
}

RequestResult tHTTPThread::Result(uint64_t serial) const {
    std::lock_guard lock(mutex_);
    return serial != 0 && resultSerial_ == serial ? result_ : RequestResult{};
}

bool tHTTPThread::Busy() const {
    std::lock_guard lock(mutex_);
    return current_ != Request::None;
}

std::string tHTTPThread::CaptureErrorText(const std::string& message) {
    const size_t length = message.size();
    const size_t crlf = message.find("\r\n");
    const size_t p = crlf == std::string::npos ? 0 : crlf + 1; // positions count from 1
    const size_t lf = message.find('\n');
    const size_t q = lf == std::string::npos ? 0 : lf + 1;
    std::string text = kServerError;
    if (q < length) text += message.substr(q, length - p);
    return text;
}

void tHTTPThread::Run() {
    std::unique_lock lock(mutex_);
    while (!terminate_) {
        const bool probe = ProbePending.load(std::memory_order_acquire);
        const bool fetch = FetchPending.load(std::memory_order_acquire);
        const bool sample = SamplePending.load(std::memory_order_acquire);
        if (probe + fetch + sample != 1) {
            // Nothing to do, or several flags set (then none is served).
            wake_.wait_for(lock, kPollInterval);
            continue;
        }
        current_ = probe ? Request::Probe : fetch ? Request::Fetch : Request::Sample;
        withdrawn_ = false;
        activeSerial_ = probe ? probeSerial_ : fetch ? fetchSerial_ : sampleSerial_;
        Client.ClearAbort();
        lock.unlock();
        RequestResult result = probe ? Probe() : fetch ? Fetch() : Sample();
        // A fetch or a sample that a redirect took elsewhere wrote nothing
        // (SameEndSink); the window decides what to do about it.
        if (!probe && !result.RangeTaken && result.Outcome != RequestOutcome::WriteFailed &&
            !SameEnd(Client.FinalUrl(), FetchAddress()))
            result.Failure = RequestFailure::Elsewhere;
        lock.lock();
        // A withdrawn request's results never count. A withdrawn fetch's flag
        // was cleared when it was withdrawn (a new fetch may have raised it
        // since); a probe's or a sample's flag clears whichever way it ended.
        if (!withdrawn_) {
            result_ = std::move(result);
            resultSerial_ = activeSerial_;
        }
        if (probe) {
            ProbePending.store(false, std::memory_order_release);
        } else if (sample) {
            SamplePending.store(false, std::memory_order_release);
        } else if (!withdrawn_) {
            FetchPending.store(false, std::memory_order_release);
        }
        current_ = Request::None;
        lock.unlock();
        if (onRequestEnded_) onRequestEnded_();
        lock.lock();
    }
}

namespace {

RequestOutcome OutcomeOf(const std::string& statusText) {
    switch (JudgeStatusText(statusText)) {
    case StatusVerdict::Error:
        return RequestOutcome::Error;
    case StatusVerdict::PartialContent:
        return RequestOutcome::PartialContent;
    case StatusVerdict::Other:
        break;
    }
    return RequestOutcome::Other;
}

// Hands the answer on to its sink only when the request ended where it is
// expected to: bytes from another server never reach the file or the sample.
class SameEndSink : public BodySink {
public:
    SameEndSink(BodySink& sink, const HttpClient& client, const std::string& expected)
        : sink_(sink), client_(client), expected_(expected) {}
    bool Accept(const AnswerHead& head) override {
        return SameEnd(client_.FinalUrl(), expected_) && sink_.Accept(head);
    }
    void Take(const char* data, std::size_t size) override { sink_.Take(data, size); }
    std::size_t PipeRoom() const override { return sink_.PipeRoom(); }
    void TakeFromPipe(int pipeRead, std::size_t size) override {
        sink_.TakeFromPipe(pipeRead, size);
    }

private:
    BodySink& sink_;
    const HttpClient& client_;
    const std::string& expected_;
};

RequestFailure FailureOf(const HttpFailure& failure) {
    switch (failure.Kind()) {
    case HttpFailureKind::Socket:
        if (failure.Code() == kWsaTimedOut) return RequestFailure::Stall;
        // An abort is the window's own doing; a port that cannot be used
        // stays unusable.
        if (failure.Code() == kWsaInterrupted || failure.Code() == kWsaAddrNotAvail)
            return RequestFailure::Other;
        return RequestFailure::Network;
    case HttpFailureKind::ClosedConnection:
        return RequestFailure::Network;
    case HttpFailureKind::Status:
        return RequestFailure::Status;
    default:
        return RequestFailure::Other;
    }
}

} // namespace

RequestResult tHTTPThread::Answered() const {
    RequestResult result;
    result.StatusText = Client.StatusLine();
    result.Outcome = OutcomeOf(result.StatusText);
    result.StatusLine = Client.StatusLine();
    result.StatusCode = Client.StatusCode();
    result.RetryAfter = Client.HeaderValue("Retry-After");
    result.FinalUrl = Client.FinalUrl();
    result.Redirected = Client.RedirectsFollowed() > 0;
    return result;
}

RequestResult tHTTPThread::Failed(const std::exception& failure) const {
    RequestResult result = Answered();
    result.StatusText = CaptureErrorText(failure.what());
    result.Outcome = RequestOutcome::Error;
    const auto* http = dynamic_cast<const HttpFailure*>(&failure);
    result.Failure = http ? FailureOf(*http) : RequestFailure::Other;
    if (!http || http->Kind() != HttpFailureKind::Status) {
        result.StatusLine.clear();
        result.StatusCode = -1;
        result.RetryAfter.clear();
    }
    return result;
}

RequestResult tHTTPThread::Probe() {
    Client.CredentialUrl = URL;
    Client.ByteRange = "0-";
    try {
        try {
            Client.Probe(URL);
        } catch (const HttpFailure& failure) {
            // A link signed for GET alone refuses HEAD: a GET of the first
            // byte tells the same.
            // (A proxy's refusal of the tunnel is not the server's answer.)
            const int code = Client.StatusCode();
            if (failure.Kind() != HttpFailureKind::Status || (code != 403 && code != 405)) throw;
            return ProbeByGet();
        }
        RequestResult result = Answered();
        result.ContentLength = Client.HeaderValue("Content-Length");
        result.ContentLengthValue = ParseContentLength(result.ContentLength);
        result.AcceptRanges = Client.HeaderValue("Accept-Ranges");
        result.ContentRange = Client.HeaderValue("Content-Range");
        result.ContentType = Client.HeaderValue("Content-Type");
        return result;
    } catch (const std::exception& failure) {
        return Failed(failure);
    }
}

RequestResult tHTTPThread::ProbeByGet() {
    struct RangeAfterwards {
        HttpClient& client;
        ~RangeAfterwards() { client.ByteRange = "0-"; }
    } restore{Client};
    Client.ByteRange = "0-0";
    std::string firstByte;
    MemoryBodySink sink(firstByte, kMaxUnwrittenBody);
    try {
        Client.Fetch(URL, sink);
    } catch (const HttpFailure& failure) {
        // A server that sends the whole file has answered all the same.
        if (failure.Kind() != HttpFailureKind::BodyTooLong || Client.StatusLine().empty()) throw;
    }
    RequestResult result = Answered();
    result.ContentRange = Client.HeaderValue("Content-Range");
    // The size the server gives for the whole file, where a HEAD gives its
    // Content-Length.
    result.ContentLength = result.Outcome == RequestOutcome::PartialContent
                               ? ContentRangeTotal(result.ContentRange)
                               : Client.HeaderValue("Content-Length");
    result.ContentLengthValue = ParseContentLength(result.ContentLength);
    result.AcceptRanges = Client.HeaderValue("Accept-Ranges");
    result.ContentType = Client.HeaderValue("Content-Type");
    return result;
}

RequestResult tHTTPThread::Fetch() {
    RangeBytesWritten.store(0, std::memory_order_relaxed);
    RangeBytesDurable.store(0, std::memory_order_release);
    if (!Target.file) {
        RequestResult result;
        result.Outcome = RequestOutcome::WriteFailed;
        result.WriteError = "No file was given to write the range into.";
        result.StatusText = CaptureErrorText(result.WriteError);
        return result;
    }
    Client.CredentialUrl = URL;
    RangeWriter writer(*Target.file, Target.begin, Target.end, Target.fileSize, RangeBytesWritten,
                       RangeBytesDurable, Target.durableEvery, Target.durableEveryBytes,
                       onRequestEnded_);
    writer.FollowCut(StopAfter);
    LimitedSink limited(writer, Limit.get(), Client.AbortFlag());
    SameEndSink sink(limited, Client, FetchAddress());
    RequestResult result;
    try {
        try {
            Client.Fetch(FetchAddress(), sink);
        } catch (const RangeCutReached&) {
            // The bytes up to the cut are in; the client closed the
            // connection on the rest.
        }
        result = Answered();
        // The writer took the body only from an answer that is exactly the
        // range, under a status line that names 206 Partial Content.
        result.RangeTaken = writer.Finish();
        if (!result.RangeTaken)
            result.Failure =
                writer.Accepted() ? RequestFailure::ShortBody : RequestFailure::NotTheRange;
    } catch (const HttpFailure& failure) {
        // A refused answer too long to read through (a 200 with the whole
        // file) is not the range all the same.
        const bool refused = failure.Kind() == HttpFailureKind::BodyTooLong && !writer.Accepted() &&
                             !Client.StatusLine().empty();
        result = refused ? Answered() : Failed(failure);
        if (refused) result.Failure = RequestFailure::NotTheRange;
    } catch (const std::exception& failure) {
        result = Failed(failure);
    }
    // However the answer ended short of the range (a drop, a stall, an
    // error, a withdrawal), what reached the file is made durable, so that
    // the window can record it and the next try asks only for the rest.
    if (!result.RangeTaken && writer.FileError().empty()) {
        try {
            writer.Settle();
        } catch (const AppError&) {
        }
    }
    result.BytesReceived = RangeBytesWritten.load(std::memory_order_relaxed);
    // The file's own refusal, not the answer's, decides how the fetch ended.
    if (!writer.FileError().empty()) {
        result.Outcome = RequestOutcome::WriteFailed;
        result.WriteError = writer.FileError();
        result.RangeTaken = false;
        result.Failure = RequestFailure::Other;
    }
    return result;
}

RequestResult tHTTPThread::Sample() {
    Client.CredentialUrl = URL;
    RangeSample sample(Target.begin, Target.end, Target.fileSize);
    SameEndSink sink(sample, Client, FetchAddress());
    RequestResult result;
    try {
        Client.Fetch(FetchAddress(), sink);
        result = Answered();
    } catch (const HttpFailure& failure) {
        // A failure on the way, before any answer, is the network's, and an
        // error status says what it is; one of the answer's body (cut short
        // or too long) is an answer that does not hold the bytes asked for.
        result = Failed(failure);
        const bool network =
            failure.Kind() == HttpFailureKind::Socket || Client.StatusLine().empty();
        if (network || failure.Kind() == HttpFailureKind::Status) return result;
        result.StatusText = Client.StatusLine();
        result.Outcome = RequestOutcome::Other;
    } catch (const std::exception& failure) {
        return Failed(failure);
    }
    result.RangeTaken = sample.Complete();
    result.BytesReceived = static_cast<std::int64_t>(sample.Bytes().size());
    if (result.RangeTaken) {
        result.SampleBytes = sample.Bytes();
    } else if (result.Failure == RequestFailure::None) {
        // The asked bytes, cut short, can come whole at another try; more
        // than asked, or another answer, is not the asked bytes.
        result.Failure = sample.Accepted() && !sample.Overflowed() ? RequestFailure::ShortBody
                                                                   : RequestFailure::NotTheRange;
    }
    return result;
}

void SetProxy(HttpClient& client, const std::string& host, const std::string& port,
              const std::string& user, const std::string& password) {
    if (!host.empty() && !port.empty()) {
        client.ProxyServer = host;
        client.ProxyPort = StrToInt32(port);
        client.ProxyUser = user;
        client.ProxyPass = password;
    } else {
        client.ProxyServer.clear();
        client.ProxyPort = 0;
        client.ProxyUser.clear();
        client.ProxyPass.clear();
    }
}

void SetCredentials(HttpClient& client, const std::string& user, const std::string& password) {
    // Whatever a server asked of the previous download stays with it.
    client.ForgetCredential();
    if (!user.empty()) {
        client.UserName = user;
        client.Password = password;
    } else {
        client.UserName.clear();
        client.Password.clear();
    }
}
