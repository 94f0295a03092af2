// The status bar's texts for the range in hand and for how a run ended, and
// the speed they quote.

#include "app/core/ProgressText.h"

#include <QLocale>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

constexpr std::int64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;

TEST(ProgressText, KnownStates) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const struct {
        int pass;
        std::int64_t begin, end, received, total;
        double speed;
        std::string text;
    } cases[] = {
        {3, 1000, 2000, 412 * MiB + MiB / 2, 1000 * MiB, 35.2 * MiB,
         "Segment #3 - [1000-2000]: 412.5 of 1,000.0 MiB (41%), 35.2 MiB/s, 0:17 left"},
        {1, 0, 1000, 0, 1001, 0, "Segment #1 - [0-1000]: 0 of 1,001 bytes (0%)"},
        {2, 0, 99999, 50000, 100000, 1000,
         "Segment #2 - [0-99999]: 48.8 of 97.7 KiB (50%), 1,000 bytes/s, 0:50 left"},
        {1, 0, 4 * GiB - 1, 3 * GiB, 4 * GiB, 10.0 * KiB,
         "Segment #1 - [0-4294967295]: 3.0 of 4.0 GiB (75%), 10.0 KiB/s, 29:07:38 left"},
        {9, 5, 5, 1, 1, 512, "Segment #9 - [5-5]: 1 of 1 bytes (100%), 512 bytes/s, 0:00 left"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgressText(c.pass, c.begin, c.end, c.received, c.total, c.speed, english),
                  c.text);
    // Several connections: the whole file's bytes, the time left at the
    // total rate, and the connections.
    EXPECT_EQ(
        ConnectionsProgressText({1, 5, 6}, 412 * MiB + MiB / 2, 1000 * MiB, 11.8 * MiB, 3, english),
        "Segments #1, #5, #6: 412.5 of 1,000.0 MiB (41%), 0:50 left, 3 connections, "
        "11.8 MiB/s");
    EXPECT_EQ(ConnectionsProgressText({4}, 0, 1001, 0, 2, english),
              "Segment #4: 0 of 1,001 bytes (0%), 2 connections, 0 bytes/s");
    // The locale's separators.
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(SizeText(1536.0 * MiB, german), "1,5 GiB");
    EXPECT_EQ(SizeText(1024.0 * 1000 * KiB, german), "1.000,0 MiB");
}

TEST(ProgressText, DurationsAndHowARunEnded) {
    EXPECT_EQ(DurationText(0), "0:00");
    EXPECT_EQ(DurationText(59), "0:59");
    EXPECT_EQ(DurationText(725), "12:05");
    EXPECT_EQ(DurationText(3723), "1:02:03");
    EXPECT_EQ(DurationText(-5), "0:00");
    EXPECT_EQ(PausedText(1), "Paused with 1 segment left.");
    EXPECT_EQ(PausedText(3), "Paused with 3 segments left.");
    EXPECT_EQ(NotDownloadedText(1), "1 segment was not downloaded; Resume will try it again.");
    EXPECT_EQ(NotDownloadedText(2), "2 segments were not downloaded; Resume will try them again.");
    EXPECT_EQ(CompletedText("/d/film.avi"), "The file /d/film.avi is complete.");
}

TEST(TransferRate, SpeedOverTheLastSeconds) {
    const auto t0 = TransferRate::Clock::time_point{} + 100s;
    TransferRate rate(5s);
    EXPECT_EQ(rate.BytesPerSecond(), 0);
    rate.Add(t0, 0);
    EXPECT_EQ(rate.BytesPerSecond(), 0) << "one sample is no speed";
    rate.Add(t0, 1000);
    EXPECT_EQ(rate.BytesPerSecond(), 0) << "no time has passed";
    rate.Add(t0 + 1s, 1000);
    EXPECT_DOUBLE_EQ(rate.BytesPerSecond(), 1000);
    // A fast start is forgotten once it lies out of the window.
    for (int s = 2; s <= 10; ++s)
        rate.Add(t0 + std::chrono::seconds(s), 1000 + (s - 1) * 100);
    EXPECT_DOUBLE_EQ(rate.BytesPerSecond(), 100);
}

} // namespace
