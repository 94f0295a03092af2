#include "app/core/ConnectionText.h"

#include "app/core/ProgressText.h"

#include <QLocale>

#include <array>

std::string ConnectionOrdinal(int n) {
    static constexpr std::array<const char*, 16> kWords = {
        "first",      "second",     "third",     "fourth",   "fifth",    "sixth",
        "seventh",    "eighth",     "ninth",     "tenth",    "eleventh", "twelfth",
        "thirteenth", "fourteenth", "fifteenth", "sixteenth"};
    if (n >= 1 && n <= static_cast<int>(kWords.size()))
        return kWords[static_cast<std::size_t>(n - 1)];
    return std::to_string(n) + "th";
}

std::string ConnectionChangeText(const ConnectionPlan::Decision& decision,
                                 const std::string& status, double rateBefore, double rateNow,
                                 const QLocale& locale) {
    using Plan = ConnectionPlan;
    const int count = decision.connections;
    auto rate = [&](double bytesPerSecond) { return SizeText(bytesPerSecond, locale) + "/s"; };
    const std::string goingOn = "going on with " + std::to_string(count) + ".";
    const std::string one = "a " + ConnectionOrdinal(count + 1) + " connection";
    const std::string answered = status.empty() ? "" : " (" + status + ")";
    if (decision.step == Plan::Step::Open) {
        if (decision.why != Plan::Why::Pays)
            return "Opening a " + ConnectionOrdinal(count) + " connection: the download runs at " +
                   rate(rateBefore) + " with " + std::to_string(count - 1) + ".";
        return "The " + ConnectionOrdinal(count - 1) + " connection raised the rate to " +
               rate(rateNow) + ": opening a " + ConnectionOrdinal(count) + ".";
    }
    switch (decision.why) {
    case Plan::Why::Pays:
        return "The " + ConnectionOrdinal(count) + " connection raised the rate to " +
               rate(rateNow) + ": " + goingOn;
    case Plan::Why::NoGain:
        return "A " + ConnectionOrdinal(count + 1) + " connection did not raise the rate (" +
               rate(rateNow) + " against " + rate(rateBefore) + "): " + goingOn;
    case Plan::Why::Refused:
        return "The server refused " + one + answered + ": " + goingOn;
    case Plan::Why::IgnoredRange:
        return "The server did not send " + one + " the range it asked for" + answered +
               ": nothing of it was written; " + goingOn;
    case Plan::Why::Options:
        return "Going on with " + std::to_string(count) +
               (count == 1 ? " connection" : " connections") + ", as the options now say.";
    case Plan::Why::None:
        break;
    }
    return {};
}

std::string ConnectionsText(int connections, double bytesPerSecond, const QLocale& locale) {
    if (connections <= 1) return {};
    return std::to_string(connections) + " connections, " + SizeText(bytesPerSecond, locale) + "/s";
}
