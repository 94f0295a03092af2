#pragma once

#include "common/IncompleteFile.h"
#include "import/core/SegmentFile.h"
#include "list/ListDocument.h"

#include <cstdint>
#include <string>
#include <utility>

// What the import dialog's controls hold when Ok is pressed.
struct ImportInputs {
    std::string Url, Referer;
    bool ServerAuthorization = false; // "Server requires authorization"
    std::string ServerName, ServerPass;
    bool DefaultProxy = true; // "Use default proxy settings"
    std::string ProxyServer, ProxyPort, ProxyName, ProxyPass;
    std::string Checksum; // "Checksum (optional):" as typed
};

// The URL passes when it contains "http" in these lower-case letters anywhere.
bool UrlAccepted(const std::string& url);

// True when a regular file (not a folder, pipe, device or symbolic link)
// exists at the path.
bool IncompleteFileExists(const std::string& path);

// The characters after the last "/" of the URL, undecoded; empty when the URL
// ends with "/" or has no "/".
std::string FileNameFromURL(const std::string& url);

// The path the incomplete file gets when it is renamed after the URL: its
// folder followed by FileNameFromURL. Throws AppError saying why when the URL
// names no usable file name.
std::string RenameByUrlTarget(const std::string& incompletePath, const std::string& url);

// Moves a file without replacing one; 0 or the errno that says why it
// could not.
int MoveNoReplace(const std::string& from, const std::string& to);

// Moves a file within its folder; never replaces an existing file. Throws
// AppError saying why when the move cannot be done; the file then keeps its
// name.
void MoveWithoutReplacing(const std::string& from, const std::string& to);

// What an import changes once every check has passed: moves the incomplete
// file from `from` to `to` when they differ, cuts it to `size` bytes, makes
// the cut and the new name durable (the file, then its folder), closes it and
// appends the entry, so that a list saved afterwards never names a file that
// a power cut could take back. When a step after the move fails, the file is
// given its old name again before the error is thrown; the error says so
// when that fails too.
void CommitImport(IncompleteFile& file, const std::string& from, const std::string& to,
                  int64_t size, ListDocument& list, const EntryValues& entry);

// The size text as the length to cut the incomplete file to. Throws AppError
// when it is negative.
int64_t CompleteFileSize(const std::string& sizeText);

// Sets URL, Referer, the authorization and proxy groups and the checksum
// from the dialog's inputs, as an import writes them: an unticked box gives
// an empty group, a ticked one without its required fields leaves the group
// out; the checksum as the list keeps it, none for an empty field.
void SetAddressValues(EntryValues& entry, const ImportInputs& inputs);

// An unticked "Use default proxy settings" with a ":" in the proxy server.
// The port has a field of its own, and the proxy is stored as server, ":"
// and port: a server that holds a colon (a port, an IPv6 address) would be
// split at the wrong place by every later run.
bool ProxyServerHoldsColon(const ImportInputs& inputs);

// Why an edited download could not be resumed with these inputs, a ticked
// "Server requires authorization" without a user name or an unticked "Use
// default proxy settings" without a server or a port, or with a server that
// holds a colon.
struct AddressGaps {
    bool server = false, proxy = false;
};
AddressGaps MissingAddressFields(const ImportInputs& inputs);

// An entry's Proxy text as server and port, split at its last ":" (an IPv6
// address keeps its own colons); without a ":" all of it is the server.
std::pair<std::string, std::string> SplitProxy(const std::string& proxy);

// The new entry's texts from the import values and the dialog's inputs.
EntryValues BuildEntryValues(const ImportValues& values, const ImportInputs& inputs);
