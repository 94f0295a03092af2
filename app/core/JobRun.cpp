#include "app/core/JobRun.h"

#include "common/AppError.h"
#include "common/Texts.h"
#include "transfer/DLThread_Unit.h"

#include <exception>

JobRun::JobRun(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list,
               tHTTPThread& worker, const bool& stop, const RunTimings& timings)
    : rows_(rows), log_(log), window_(window), list_(list), worker_(worker), timings_(timings),
      wait_(worker, window), retries_(log, window, stop, timings_, wait_, state_),
      check_(log, worker, stop, timings_, state_, wait_, retries_,
             [this] { loop_.ConvertFirstRange(); }),
      loop_(rows, log, window, list, worker, stop, timings_, state_, wait_, retries_, check_) {}

void JobRun::WaitForIdleWorker() {
    wait_.WaitForIdleWorker();
}

RunEnd JobRun::Run(int row) {
    state_.row = row;
    ReadRow();
    if (AwaitsChecksum()) return loop_.CheckAgain();
    ReadEntryAndHandOver();
    return JudgeProbe(retries_.ProbeUntilAnswered());
}

void JobRun::ReadRow() {
    state_.values.fileName = rows_.Text(state_.row, FileNameColumn);
    state_.values.fileSize = rows_.Text(state_.row, FileSizeColumn);
    state_.values.downloaded = rows_.Text(state_.row, DownloadedColumn);
    state_.values.remains = rows_.Text(state_.row, RemainsColumn);
    state_.values.count = StrToInt32(rows_.Text(state_.row, SegmentsColumn));
    state_.values.url = rows_.Text(state_.row, URLColumn);
}

bool JobRun::AwaitsChecksum() {
    const RowValues& values = state_.values;
    if (values.count != 0 || values.remains != "0" || values.downloaded != values.fileSize)
        return false;
    state_.entry = list_.FindEntry(state_.row);
    return state_.entry && state_.entry.Queue().empty() && ChecksumAttribute(state_.entry);
}

void JobRun::ReadEntryAndHandOver() {
    state_.entry = list_.FindEntry(state_.row);
    if (!state_.entry)
        throw AppError("The download list holds no entry N" + std::to_string(state_.row + 1));
    const std::string proxy = state_.entry.AttributeText("Proxy");
    // The host ends at the first ":", the port is all after it.
    const size_t colon = proxy.find(':');
    const std::string proxyHost = colon == std::string::npos ? "" : proxy.substr(0, colon);
    const std::string proxyPort =
        proxy.size() > proxyHost.size() ? proxy.substr(proxyHost.size() + 1) : std::string();
    const std::string proxyName = state_.entry.AttributeText("ProxyName");
    const std::string proxyPass = state_.entry.AttributeText("ProxyPass");
    const std::string authName = state_.entry.AttributeText("AuthName");
    const std::string authPass = state_.entry.AttributeText("AuthPass");
    if (!state_.entry.HasSegmentQueue())
        throw AppError("The download list entry N" + std::to_string(state_.row + 1) +
                       " has no segment queue");

    worker_.Client.SetReadTimeout(timings_.stallLimit);
    SetCredentials(worker_.Client, authName, authPass);
    SetProxy(worker_.Client, proxyHost, proxyPort, proxyName, proxyPass);
    worker_.URL = state_.values.url;
    worker_.FetchURL.clear();
    log_.AddLogRow(LogIcon::Info, "Checking URL: " + state_.values.url);
}

void JobRun::Pause() {
    loop_.WithdrawFetches();
    wait_.Pause();
}

void JobRun::Abort() {
    wait_.WithdrawProbe();
    loop_.AbortRequests();
}

RunEnd JobRun::JudgeProbe(const RequestResult& probe) {
    if (const std::optional<RunEnd> refused = check_.JudgeSameFile(probe)) return *refused;
    log_.AddLogRow(LogIcon::Info,
                   "Resuming feature supported by server. Segment requesting started...");
    try {
        return loop_.Run();
    } catch (const std::exception& error) {
        window_.ShowRunEnd(error.what());
        throw;
    }
}
