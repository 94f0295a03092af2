// A new download from a URL: where its file is proposed, what the server is
// asked through the window's worker, and the file made ready for the run.
#pragma once

#include "import/core/ImportLogic.h"

#include <cstdint>
#include <optional>
#include <string>

class ListDocument;

// The folder new downloads are proposed in: `xdgDownloadDir` when it is set
// and not empty, else `standardFolder` (the desktop's download folder).
std::string DownloadFolder(const char* xdgDownloadDir, const std::string& standardFolder);
// The same for this process: $XDG_DOWNLOAD_DIR, else the download folder
// the user's desktop names (user-dirs.dirs), else ~/Downloads.
std::string DownloadFolder();

// The file name a URL proposes: the last segment of its path, without query
// or fragment, percent-decoded; "download" when that names no usable file
// (empty, "." or "..", a "/" or NUL once decoded, or too long).
std::string ProposedFileName(const std::string& url);

// A Save as path the dialog can use: absolute, naming a file (not a folder)
// in a folder that exists, and either no file yet or a regular one.
bool SaveAsAccepted(const std::string& path);
// The length of the file at a Save as path; none when nothing is there.
std::optional<std::int64_t> HeldLength(const std::string& path);

// What the server said of a new download's address.
struct ServerReply {
    enum class Kind {
        Serves,    // it serves ranges of a file of sizeText bytes
        Refused,   // it does not, or not of the held file: message says why
        Withdrawn, // Cancel withdrew the question
    };
    Kind kind = Kind::Withdrawn;
    std::string sizeText; // the size as the server sent it
    std::string message;
};

// How the new-download dialog asks the server, without knowing how.
class ServerQuery {
public:
    virtual ~ServerQuery() = default;
    // Asks the server at `inputs`' address, with its credential and proxy,
    // whether it serves byte ranges and of how many bytes. When the server's
    // file is longer than `heldLength` (> 0), the last bytes (up to 64 KiB)
    // of the first `heldLength` bytes of `heldPath` are compared with the
    // server's: a difference refuses. Returns when answered or withdrawn;
    // the caller's events run meanwhile.
    virtual ServerReply Ask(const ImportInputs& inputs, const std::string& heldPath,
                            std::int64_t heldLength) = 0;
    // Withdraws the question in hand, if any; Ask then returns Withdrawn.
    virtual void Withdraw() = 0;
};

// The entry of a new download: one range from the first byte not held to
// the end, counters to match, the address from the dialog.
EntryValues NewDownloadEntry(const std::string& path, const std::string& sizeText,
                             std::int64_t heldLength, const ImportInputs& inputs);

// Makes the file at `path` ready at its full size, appends the entry and
// saves the list. heldLength none: the file is created (never replacing
// one) and allocated; if anything then fails it is removed again. Otherwise
// the held file is opened, must still be heldLength bytes long, and is
// allocated to its full size; if anything then fails it is given its old
// length back. Either way the file and its folder are durable before the
// entry is appended, and an entry whose save failed is taken out again.
// Throws AppError saying why.
void CommitNewDownload(const std::string& path, std::optional<std::int64_t> heldLength,
                       ListDocument& list, const EntryValues& entry);

// The message for a Save as file that is not shorter than the server's.
std::string AlreadyWholeText(const std::string& path);
