// Asking the server of a new download, for the new-download dialog, on a
// worker of its own: the window's worker may be in a run meanwhile.
#pragma once

#include "app/core/JobSeams.h"
#include "app/core/WorkerWait.h"
#include "import/core/NewDownload.h"

#include <chrono>
#include <memory>
#include <optional>

class tHTTPThread;

// The probe and, for a file that holds a beginning already, the same-file
// sample of its last held bytes, judged as a run judges them and refused in
// the run's words. Waits with the window's events running.
class NewDownloadQuery : public ServerQuery {
public:
    NewDownloadQuery(JobWindow& window, std::chrono::milliseconds stallLimit);
    ~NewDownloadQuery() override;

    ServerReply Ask(const ImportInputs& inputs, const std::string& heldPath,
                    std::int64_t heldLength) override;
    void Withdraw() override;

private:
    ServerReply Probe(const ImportInputs& inputs);
    ServerReply CompareHeldBytes(const ServerReply& served, const std::string& heldPath,
                                 std::int64_t heldLength);

    JobWindow& window_;
    std::chrono::milliseconds stallLimit_;
    std::unique_ptr<tHTTPThread> worker_;
    std::optional<WorkerWait> wait_;
    bool withdrawn_ = false;
};
