#include "app/core/ProgressText.h"

#include "app/core/ConnectionText.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

namespace {

struct Unit {
    const char* name;
    double size;
};

// The largest unit that the value reaches, bytes at least.
Unit UnitFor(double bytes) {
    static constexpr Unit kUnits[] = {
        {"GiB", 1024.0 * 1024 * 1024}, {"MiB", 1024.0 * 1024}, {"KiB", 1024.0}};
    for (const Unit& unit : kUnits)
        if (bytes >= unit.size) return unit;
    return {"bytes", 1.0};
}

std::string Number(double value, const Unit& unit, const QLocale& locale) {
    const int decimals = unit.size == 1.0 ? 0 : 1;
    return locale.toString(value / unit.size, 'f', decimals).toStdString();
}

std::string Plural(int count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

std::string SizeText(double bytes, const QLocale& locale) {
    const Unit unit = UnitFor(bytes);
    return Number(bytes, unit, locale) + " " + unit.name;
}

std::string DurationText(std::int64_t seconds) {
    seconds = std::max<std::int64_t>(seconds, 0);
    const std::int64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    auto two = [](std::int64_t v) { return (v < 10 ? "0" : "") + std::to_string(v); };
    if (h > 0) return std::to_string(h) + ":" + two(m) + ":" + two(s);
    return std::to_string(m) + ":" + two(s);
}

namespace {

// "412.5 of 1,024.0 MiB (40%)".
std::string AmountText(std::int64_t received, std::int64_t total, const QLocale& locale) {
    const Unit unit = UnitFor(static_cast<double>(total));
    const int percent =
        total > 0 ? static_cast<int>(std::min<std::int64_t>(received, total) * 100 / total) : 0;
    return Number(static_cast<double>(received), unit, locale) + " of " +
           Number(static_cast<double>(total), unit, locale) + " " + unit.name + " (" +
           std::to_string(percent) + "%)";
}

// "0:29 left" at the speed given.
std::string LeftText(std::int64_t received, std::int64_t total, double bytesPerSecond) {
    const double left = static_cast<double>(std::max<std::int64_t>(total - received, 0));
    return DurationText(static_cast<std::int64_t>(std::ceil(left / bytesPerSecond))) + " left";
}

} // namespace

std::string ProgressText(int pass, std::int64_t begin, std::int64_t end, std::int64_t received,
                         std::int64_t total, double bytesPerSecond, const QLocale& locale) {
    std::string text = "Segment #" + std::to_string(pass) + " - [" + std::to_string(begin) + "-" +
                       std::to_string(end) + "]: " + AmountText(received, total, locale);
    if (bytesPerSecond > 0)
        text += ", " + SizeText(bytesPerSecond, locale) + "/s, " +
                LeftText(received, total, bytesPerSecond);
    return text;
}

std::string ConnectionsProgressText(const std::vector<int>& segments, std::int64_t present,
                                    std::int64_t fileSize, double bytesPerSecond, int connections,
                                    const QLocale& locale) {
    std::string text = segments.size() == 1 ? "Segment " : "Segments ";
    for (std::size_t i = 0; i < segments.size(); ++i)
        text += (i > 0 ? ", #" : "#") + std::to_string(segments[i]);
    text += ": " + AmountText(present, fileSize, locale);
    if (bytesPerSecond > 0) text += ", " + LeftText(present, fileSize, bytesPerSecond);
    const std::string more = ConnectionsText(connections, bytesPerSecond, locale);
    return more.empty() ? text : text + ", " + more;
}

std::string PausedText(int segmentsLeft) {
    return "Paused with " + Plural(segmentsLeft, "segment", "segments") + " left.";
}

std::string NotDownloadedText(int segmentsLeft) {
    return Plural(segmentsLeft, "segment was", "segments were") +
           " not downloaded; Resume will try " + (segmentsLeft == 1 ? "it" : "them") + " again.";
}

std::string CompletedText(const std::string& fileName) {
    return "The file " + fileName + " is complete.";
}

void TransferRate::Add(Clock::time_point at, std::int64_t bytes) {
    samples_.push_back({at, bytes});
    // Keep one sample at or before the window's start, so that the span
    // measured is the whole window.
    while (samples_.size() > 2 && samples_[1].at <= at - window_)
        samples_.pop_front();
}

double TransferRate::BytesPerSecond() const {
    if (samples_.size() < 2) return 0;
    const Sample& first = samples_.front();
    const Sample& last = samples_.back();
    const double seconds = std::chrono::duration<double>(last.at - first.at).count();
    if (seconds <= 0) return 0;
    return static_cast<double>(last.bytes - first.bytes) / seconds;
}

std::string ChecksumProgressText(const std::string& algorithm, std::int64_t hashed,
                                 std::int64_t total, const QLocale& locale) {
    return "Checking the " + algorithm + " checksum: " + AmountText(hashed, total, locale);
}
