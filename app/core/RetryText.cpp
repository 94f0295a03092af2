#include "app/core/RetryText.h"

#include "app/core/ProgressText.h"
#include "common/AsciiText.h"
#include "transfer/RetryPolicy.h"

#include <QLocale>

namespace {

// "segment #1" at the start of a sentence.
std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 32);
    return text;
}

} // namespace

std::string FailureText(const RequestResult& result, const std::string& what,
                        std::chrono::milliseconds stallLimit, const QLocale& locale) {
    const std::int64_t received = result.BytesReceived;
    switch (result.Failure) {
    case RequestFailure::Stall:
        return "No data for " +
               std::to_string(std::chrono::ceil<std::chrono::seconds>(stallLimit).count()) +
               " s on " + what + ".";
    case RequestFailure::Status:
        return Capitalised(what) + ": the server answered \"" + result.StatusLine + "\".";
    case RequestFailure::NotTheRange:
        return Capitalised(what) + ": the server's answer \"" + result.StatusLine +
               "\" does not hold exactly the bytes asked for.";
    case RequestFailure::ShortBody:
        return "Connection lost after " + SizeText(static_cast<double>(received), locale) + " of " +
               what + ".";
    default:
        break;
    }
    // An answer had begun: the connection went in the middle of it.
    if (received > 0 || !result.StatusLine.empty())
        return "Connection lost after " + SizeText(static_cast<double>(received), locale) + " of " +
               what + ".";
    // " SERVER ERROR: Connection refused." says why.
    std::string why(TrimBlanks(result.StatusText));
    if (why.rfind("SERVER ERROR:", 0) == 0) why = std::string(TrimBlanks(why.substr(13)));
    return Capitalised(what) + ": " + why;
}

std::string RedirectedAwayText(const std::string& what, const std::string& from,
                               const std::string& to) {
    return Capitalised(what) + " was redirected from " + from + " to " + to +
           ", away from where the file was checked";
}

std::string RetryingText(std::chrono::seconds wait, int tryNumber) {
    return " Retrying in " + std::to_string(wait.count()) + " s (try " + std::to_string(tryNumber) +
           " of " + std::to_string(kMaxTries) + ")";
}
