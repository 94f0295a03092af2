#include "app/core/NewDownloadQuery.h"

#include "app/core/HeldSample.h"
#include "common/AppError.h"
#include "common/Texts.h"
#include "common/UniqueFd.h"
#include "transfer/DLThread_Unit.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char* const kChanged = "File on server has changed. Can't download incomplete segments.";

ServerReply Refused(std::string message) {
    return {ServerReply::Kind::Refused, {}, std::move(message)};
}

// The bytes first..last of the file at `path`; fewer when it is shorter.
std::string ReadHeld(const std::string& path, std::int64_t first, std::int64_t last) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) throw AppError("The file \"" + path + "\" cannot be read: " + std::strerror(errno));
    std::string bytes(static_cast<size_t>(last - first + 1), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd.Get(), bytes.data() + got, bytes.size() - got,
                                  first + static_cast<std::int64_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw AppError("The file \"" + path + "\" cannot be read: " + std::strerror(errno));
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

// A failed request's text without the leading space the log's rows start
// it with.
std::string FailureText(const RequestResult& result) {
    const std::string& text = result.StatusText;
    return text.substr(std::min(text.find_first_not_of(' '), text.size()));
}

} // namespace

NewDownloadQuery::NewDownloadQuery(JobWindow& window, std::chrono::milliseconds stallLimit)
    : window_(window), stallLimit_(stallLimit) {}

NewDownloadQuery::~NewDownloadQuery() = default;

ServerReply NewDownloadQuery::Ask(const ImportInputs& inputs, const std::string& heldPath,
                                  std::int64_t heldLength) {
    withdrawn_ = false;
    worker_ = window_.MakeWorker();
    wait_.emplace(*worker_, window_);
    // The worker goes with the question, whatever its end.
    struct Release {
        NewDownloadQuery& query;
        ~Release() {
            query.wait_.reset();
            query.worker_.reset();
        }
    } release{*this};

    const ServerReply served = Probe(inputs);
    if (served.kind != ServerReply::Kind::Serves) return served;
    const std::int64_t size = StrToInt64(served.sizeText);
    if (heldLength <= 0 || heldLength >= size) return served;
    return CompareHeldBytes(served, heldPath, heldLength);
}

void NewDownloadQuery::Withdraw() {
    withdrawn_ = true;
    if (wait_) wait_->WithdrawProbe();
}

ServerReply NewDownloadQuery::Probe(const ImportInputs& inputs) {
    tHTTPThread& worker = *worker_;
    worker.Client.SetReadTimeout(stallLimit_);
    SetCredentials(worker.Client, inputs.ServerAuthorization ? inputs.ServerName : "",
                   inputs.ServerPass);
    if (inputs.DefaultProxy)
        SetProxy(worker.Client, "", "", "", "");
    else
        SetProxy(worker.Client, inputs.ProxyServer, inputs.ProxyPort, inputs.ProxyName,
                 inputs.ProxyPass);
    worker.URL = inputs.Url;

    const RequestResult probe = wait_->RequestAndWait(WorkerWait::Waiting::Probe);
    if (withdrawn_ || probe.Outcome == RequestOutcome::Withdrawn) return {};
    switch (probe.Outcome) {
    case RequestOutcome::PartialContent:
        break;
    case RequestOutcome::Other:
        // A refusal (a missing file, a password) says what the server said;
        // a file sent whole says that ranges are not served.
        if (probe.StatusCode >= 300)
            return Refused("The server answered \"" + probe.StatusLine + "\".");
        return Refused(
            "Resuming feature is unsupported by server. Segment downloading is impossible.");
    default:
        return Refused(FailureText(probe));
    }
    if (!probe.ContentLengthValue || *probe.ContentLengthValue <= 0 ||
        IntToText(*probe.ContentLengthValue) != probe.ContentLength)
        return Refused("The server gives no size for the file (Content-Length \"" +
                       probe.ContentLength + "\").");
    // The sample goes where the probe ended, as a run's fetches do.
    worker.FetchURL = probe.FinalUrl;
    return {ServerReply::Kind::Serves, probe.ContentLength, {}};
}

ServerReply NewDownloadQuery::CompareHeldBytes(const ServerReply& served,
                                               const std::string& heldPath,
                                               std::int64_t heldLength) {
    tHTTPThread& worker = *worker_;
    const std::int64_t last = heldLength - 1;
    const std::int64_t first = std::max<std::int64_t>(0, heldLength - kHeldSampleSize);
    worker.Client.ByteRange = std::to_string(first) + "-" + std::to_string(last);
    worker.Target = {nullptr, first, last, StrToInt64(served.sizeText)};
    const RequestResult result = wait_->RequestAndWait(WorkerWait::Waiting::Sample);
    if (withdrawn_ || result.Outcome == RequestOutcome::Withdrawn) return {};
    if (result.RangeTaken)
        return result.SampleBytes == ReadHeld(heldPath, first, last) ? served : Refused(kChanged);
    if (result.Outcome == RequestOutcome::Error) return Refused(FailureText(result));
    return Refused(kChanged);
}
