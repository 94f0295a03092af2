#include "transfer/DLThread_Unit.h"

#include "common/Texts.h"
#include "transfer/RangeWriter.h"

#include <chrono>

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr const char* kServerError = " SERVER ERROR: ";

} // namespace

tHTTPThread::tHTTPThread(std::function<void()> onRequestEnded)
    : onRequestEnded_(std::move(onRequestEnded)) {
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

void tHTTPThread::RequestProbe() {
    {
        std::lock_guard lock(mutex_);
        ProbePending.store(true, std::memory_order_release);
    }
    wake_.notify_all();
}

uint64_t tHTTPThread::RequestFetch() {
    uint64_t serial;
    {
        std::lock_guard lock(mutex_);
        serial = ++lastFetchSerial_;
        FetchPending.store(true, std::memory_order_release);
    }
    wake_.notify_all();
    return serial;
}

void tHTTPThread::CancelFetch() {
    std::lock_guard lock(mutex_);
    FetchPending.store(false, std::memory_order_release);
    WithdrawRunning(Request::Fetch);
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

bool tHTTPThread::FetchCompleted(uint64_t serial) const {
    std::lock_guard lock(mutex_);
    return completedSerial_ == serial;
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
        if (probe == fetch) {
            // Nothing to do, or both flags set (then neither is served).
            wake_.wait_for(lock, kPollInterval);
            continue;
        }
        current_ = probe ? Request::Probe : Request::Fetch;
        withdrawn_ = false;
        if (!probe) activeSerial_ = lastFetchSerial_;
        Client.ClearAbort();
        lock.unlock();
        if (probe) {
            DoProbe();
        } else {
            DoFetch();
        }
        lock.lock();
        if (probe) {
            ProbePending.store(false, std::memory_order_release);
        } else if (!withdrawn_) {
            completedSerial_ = activeSerial_;
            FetchPending.store(false, std::memory_order_release);
        }
        current_ = Request::None;
        lock.unlock();
        if (onRequestEnded_) onRequestEnded_();
        lock.lock();
    }
}

void tHTTPThread::DoProbe() {
    try {
        Client.ByteRange = "0-";
        Client.Probe(URL);
        StatusText = Client.StatusLine();
        ContentLength = Client.HeaderValue("Content-Length");
        AcceptRanges = Client.HeaderValue("Accept-Ranges");
        ContentRange = Client.HeaderValue("Content-Range");
        ContentType = Client.HeaderValue("Content-Type");
    } catch (const std::exception& failure) {
        Fail(failure);
    }
}

void tHTTPThread::DoFetch() {
    RangeComplete = false;
    WriteError.clear();
    RangeBytesWritten.store(0, std::memory_order_relaxed);
    try {
        if (!Target.file) throw AppError("No file was given to write the range into.");
        RangeWriter writer(*Target.file, Target.begin, Target.end, Target.fileSize,
                           RangeBytesWritten);
        Client.Fetch(URL, writer);
        StatusText = Client.StatusLine();
        RangeComplete = writer.Finish();
    } catch (const RangeWriteFailure& failure) {
        WriteError = failure.what();
        Fail(failure);
    } catch (const std::exception& failure) {
        Fail(failure);
    }
}

void tHTTPThread::Fail(const std::exception& failure) {
    std::string text = CaptureErrorText(failure.what());
    // A refused answer (a 206 that carries Location, say) must never read as
    // a taken range.
    const std::string partial = "206 Partial Content";
    for (size_t at = text.find(partial); at != std::string::npos; at = text.find(partial, at))
        text.replace(at, partial.size(), "206 (refused)");
    StatusText = text;
    ContentLength.clear();
    AcceptRanges.clear();
    ContentRange.clear();
    ContentType.clear();
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
    if (!user.empty()) {
        client.UserName = user;
        client.Password = password;
    } else {
        client.UserName.clear();
        client.Password.clear();
    }
}
