#pragma once

#include <optional>
#include <string>

// A published digest of a download: the algorithm and its hex digits.
struct Checksum {
    std::string algorithm; // "md5", "sha1", "sha256" or "sha512"
    std::string hex;       // lower case

    // As the list keeps it: "sha256:9f86d0...".
    std::string Stored() const { return algorithm + ":" + hex; }
    // As messages name it: "MD5", "SHA-1", "SHA-256", "SHA-512".
    std::string DisplayName() const;
};

// A checksum as a user pastes it: MD5 (32), SHA-1 (40), SHA-256 (64) or
// SHA-512 (128) hex digits, with or without a prefix naming the algorithm
// ("sha256:", "SHA-256:", "md5:"...), spaces and letter case ignored. None
// for anything else, a prefix that names another length included. Also reads
// what Stored() writes.
std::optional<Checksum> ParseChecksum(const std::string& text);

// Whether the checksum field may be left as it is: empty (no checksum) or a
// checksum ParseChecksum reads.
bool ChecksumFieldAccepted(const std::string& text);
// The field's text as the list keeps it: empty for none.
std::string StoredChecksum(const std::string& text);
