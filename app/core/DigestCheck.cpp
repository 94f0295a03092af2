#include "app/core/DigestCheck.h"

#include "app/core/ProgressText.h"
#include "common/AppError.h"
#include "list/ListEntry.h"
#include "transfer/FileHasher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLocale>

#include <chrono>

std::optional<std::string> ChecksumAttribute(const ListEntry& entry) {
    try {
        return entry.AttributeText("Checksum");
    } catch (const AppError&) {
        return std::nullopt; // no Checksum attribute
    }
}

std::optional<Checksum> EntryChecksum(const ListEntry& entry) {
    const std::optional<std::string> attribute = ChecksumAttribute(entry);
    return attribute ? ParseChecksum(*attribute) : std::nullopt;
}

std::string UnreadableChecksumText(const std::string& attribute) {
    return "The download's checksum \"" + attribute +
           "\" is no MD5, SHA-1, SHA-256 or SHA-512 digest: the file was not checked. Edit... "
           "mends or clears it.";
}

std::string ChecksumVerifiedText(const Checksum& expected) {
    return expected.DisplayName() + " checksum verified.";
}

std::string ChecksumMismatchText(const Checksum& expected, const std::string& found) {
    return expected.DisplayName() + " checksum does not match: expected " + expected.hex +
           ", the file has " + found;
}

DigestCheck::DigestCheck(JobLog& log, JobWindow& window, const bool& stop)
    : log_(log), window_(window), stop_(stop) {}

DigestCheck::Result DigestCheck::Verify(const std::string& path, std::int64_t size,
                                        const Checksum& expected) {
    const QLocale locale = QLocale::system();
    // The hasher's end wakes the wait below at once: an event that nothing
    // reads (the application ignores it) reaches the window thread's loop,
    // as the network workers' do.
    FileHasher hasher(path, expected.algorithm, [] {
        QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::User));
    });
    // The status line a few times a second.
    constexpr auto kInterval = std::chrono::milliseconds(100);
    while (!hasher.Done()) {
        if (stop_) {
            hasher.Withdraw();
            return {Verdict::Stopped, {}};
        }
        window_.ShowProgress(
            ChecksumProgressText(expected.DisplayName(), hasher.BytesHashed(), size, locale),
            hasher.BytesHashed(), size);
        window_.WaitForEventsAtMost(kInterval);
    }
    Result result;
    if (!hasher.Error().empty()) {
        result = {Verdict::Failed, hasher.Error()};
    } else if (hasher.Digest() == expected.hex) {
        result = {Verdict::Verified, ChecksumVerifiedText(expected)};
    } else {
        result = {Verdict::Mismatch, ChecksumMismatchText(expected, hasher.Digest())};
    }
    log_.AddLogRow(result.verdict == Verdict::Verified ? LogIcon::Received : LogIcon::Error,
                   result.message);
    return result;
}
