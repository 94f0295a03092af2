// What the user chose in File > Options, kept in the user's configuration
// folder, never in List.xml.
#pragma once

#include <string>

struct UserOptions {
    static constexpr int kMinConnections = 1, kMaxConnections = 16, kDefaultConnections = 4;
    static constexpr int kMaxLimitKiB = 1000000;

    // Connections one download may use.
    int connections = kDefaultConnections;
    // The speed limit over all of them, KiB/s; 0: none.
    int limitKiB = 0;

    bool operator==(const UserOptions&) const = default;
};

// Quilvane/Quilvane.conf in XDG_CONFIG_HOME, else in ~/.config.
std::string UserOptionsPath();
// The options kept at `path`: a missing or unreadable file, or a value that
// is no number, gives the default; a value out of range is clamped.
UserOptions ReadUserOptions(const std::string& path = UserOptionsPath());
// Keeps the options at `path`; throws AppError when they cannot be written.
void WriteUserOptions(const UserOptions& options, const std::string& path = UserOptionsPath());
