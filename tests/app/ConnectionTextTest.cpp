// The rows and the status line about a download's connections.

#include "app/core/ConnectionText.h"

#include <QLocale>
#include <gtest/gtest.h>

namespace {

TEST(ConnectionText, RowsForEveryChangeAndTheStatusLine) {
    using Plan = ConnectionPlan;
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    constexpr double MiB = 1024 * 1024;
    const struct {
        Plan::Decision decision;
        std::string status, text;
    } cases[] = {
        {{Plan::Step::Open, 1, Plan::Why::None, 2},
         "",
         "Opening a second connection: the download runs at 4.0 MiB/s with 1."},
        {{Plan::Step::Open, 2, Plan::Why::Pays, 3},
         "",
         "The second connection raised the rate to 8.0 MiB/s: opening a third."},
        {{Plan::Step::Hold, -1, Plan::Why::Pays, 4},
         "",
         "The fourth connection raised the rate to 8.0 MiB/s: going on with 4."},
        {{Plan::Step::Close, 2, Plan::Why::NoGain, 2},
         "",
         "A third connection did not raise the rate (8.0 MiB/s against 4.0 MiB/s): going on "
         "with 2."},
        {{Plan::Step::Close, 2, Plan::Why::Refused, 2},
         "HTTP/1.1 503 Service Unavailable",
         "The server refused a third connection (HTTP/1.1 503 Service Unavailable): going on "
         "with 2."},
        {{Plan::Step::Close, 3, Plan::Why::Refused, 1},
         "",
         "The server refused a second connection: going on with 1."},
        {{Plan::Step::Close, 1, Plan::Why::IgnoredRange, 1},
         "HTTP/1.1 200 OK",
         "The server did not send a second connection the range it asked for (HTTP/1.1 200 "
         "OK): nothing of it was written; going on with 1."},
        {{Plan::Step::Close, 3, Plan::Why::Options, 2},
         "",
         "Going on with 2 connections, as the options now say."},
        {{Plan::Step::Close, 1, Plan::Why::Options, 1},
         "",
         "Going on with 1 connection, as the options now say."},
        {{Plan::Step::Hold, -1, Plan::Why::None, 3}, "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ConnectionChangeText(c.decision, c.status, 4 * MiB, 8 * MiB, english), c.text);
    EXPECT_EQ(ConnectionOrdinal(16), "sixteenth");
    EXPECT_EQ(ConnectionsText(3, 11.8 * MiB, english), "3 connections, 11.8 MiB/s");
    EXPECT_EQ(ConnectionsText(1, 11.8 * MiB, english), "");
}

} // namespace
