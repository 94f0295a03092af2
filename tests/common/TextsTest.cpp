#include "common/AppError.h"
#include "common/Texts.h"

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <limits>

namespace {

std::string ConversionMessage(std::string_view text) {
    try {
        StrToInt64(text);
    } catch (const AppError& e) {
        return e.what();
    }
    return "converted";
}

} // namespace

TEST(IntegerText, AcceptsDecimalSignsAndLeadingSpaces) {
    EXPECT_EQ(StrToInt64("0"), 0);
    EXPECT_EQ(StrToInt64("1000"), 1000);
    EXPECT_EQ(StrToInt64(" 1000"), 1000);
    EXPECT_EQ(StrToInt64("   +42"), 42);
    EXPECT_EQ(StrToInt64("-42"), -42);
    EXPECT_EQ(StrToInt64("0001000"), 1000);
}

TEST(IntegerText, AcceptsEveryHexadecimalPrefix) {
    EXPECT_EQ(StrToInt64("$FF"), 255);
    EXPECT_EQ(StrToInt64("xff"), 255);
    EXPECT_EQ(StrToInt64("XfF"), 255);
    EXPECT_EQ(StrToInt64("0x10"), 16);
    EXPECT_EQ(StrToInt64("0X10"), 16);
    EXPECT_EQ(StrToInt64(" -$10"), -16);
    EXPECT_EQ(StrToInt64("$7FFFFFFFFFFFFFFF"), std::numeric_limits<int64_t>::max());
}

TEST(IntegerText, HoldsBothEndsOfTheRangeAndRejectsOnePast) {
    EXPECT_EQ(StrToInt64("9223372036854775807"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(StrToInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(ConversionMessage("9223372036854775808"),
              "'9223372036854775808' is not a valid integer value");
    EXPECT_EQ(ConversionMessage("-9223372036854775809"),
              "'-9223372036854775809' is not a valid integer value");
    EXPECT_EQ(ConversionMessage("$8000000000000000"), "'$8000000000000000' is not a valid integer value");
    EXPECT_EQ(ConversionMessage("99999999999999999999999"),
              "'99999999999999999999999' is not a valid integer value");
}

TEST(IntegerText, RejectsEverythingElseNamingTheText) {
    for (const char* bad : {"", " ", "1000 ", "+", "-", "$", "0x", "12a", "\t5", "1 000", "--1", "+-1",
                            "1e3", "0x1g", "$-1"}) {
        EXPECT_EQ(ConversionMessage(bad), std::string("'") + bad + "' is not a valid integer value")
            << bad;
    }
}

TEST(IntegerText, Int32RangeIsChecked) {
    EXPECT_EQ(StrToInt32("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt32("-2147483648"), -2147483647 - 1);
    EXPECT_THROW(StrToInt32("2147483648"), AppError);
}

TEST(IntegerText, CounterArithmeticNamesTheValueThatWouldOverflow) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(AddChecked(kMax - 1, 1, "d"), kMax);
    EXPECT_EQ(SubtractChecked(kMin + 1, 1, "r"), kMin);
    EXPECT_EQ(SubtractChecked(-1, kMax, "r"), kMin);
    try {
        AddChecked(kMax, 1, "9223372036854775807");
        ADD_FAILURE() << "no error";
    } catch (const AppError& e) {
        EXPECT_STREQ(e.what(), "'9223372036854775807' is not a valid integer value");
    }
    EXPECT_THROW(SubtractChecked(kMin, 1, "x"), AppError);
    EXPECT_THROW(SubtractChecked(kMax, -1, "x"), AppError);
    EXPECT_THROW(AddChecked(kMin, -1, "x"), AppError);
}

TEST(PercentText, RoundsHalfAwayFromZeroOnDecimalDigits) {
    QLocale::setDefault(QLocale::c());
    const std::string sep = QLocale::system().decimalPoint().toStdString();
    EXPECT_EQ(PercentText(333, 1000), "33" + sep + "3%");
    EXPECT_EQ(PercentText(1, 3), "33" + sep + "33%");
    EXPECT_EQ(PercentText(2, 3), "66" + sep + "67%");
    EXPECT_EQ(PercentText(0, 3), "0%");
    EXPECT_EQ(PercentText(3, 3), "100%");
    EXPECT_EQ(PercentText(500, 1000), "50%");
    EXPECT_EQ(PercentText(1500, 1000), "150%");
    EXPECT_EQ(FormatZeroHashHash(0.125L, "."), "0.13");
    EXPECT_EQ(FormatZeroHashHash(0.135L, "."), "0.14");
    EXPECT_EQ(FormatZeroHashHash(99.995L, "."), "100");
    EXPECT_EQ(FormatZeroHashHash(0.004L, "."), "0");
    EXPECT_EQ(FormatZeroHashHash(-12.5L, ","), "-12,5");
    EXPECT_EQ(FormatZeroHashHash(1e20L, "."), "100000000000000000000");
}

TEST(PercentText, ZeroSizeFailsLikeAFloatingPointDivision) {
    try {
        PercentText(5, 0);
        FAIL();
    } catch (const AppError& e) {
        EXPECT_STREQ(e.what(), "Floating point division by zero");
    }
    try {
        PercentText(0, 0);
        FAIL();
    } catch (const AppError& e) {
        EXPECT_STREQ(e.what(), "Invalid floating point operation");
    }
}

TEST(TimeStampText, IsDateSpaceTimeWithoutATimeZone) {
    const QLocale american(QLocale::English, QLocale::UnitedStates);
    for (const QLocale& locale : {american, QLocale::c(), QLocale::system()}) {
        SCOPED_TRACE(locale.name().toStdString());
        const std::string stamp = TimeStampText(locale);
        const std::string date =
            locale.toString(QDate::currentDate(), QLocale::ShortFormat).toStdString();
        ASSERT_GT(stamp.size(), date.size());
        EXPECT_EQ(stamp.substr(0, date.size() + 1), date + " ");
        const QString zone = QTimeZone::systemTimeZone().abbreviation(QDateTime::currentDateTime());
        if (!zone.isEmpty()) {
            EXPECT_FALSE(QString::fromStdString(stamp).contains(zone)) << stamp;
        }
        for (const char* name : {"UTC", "GMT", "Coordinated"})
            EXPECT_EQ(stamp.find(name), std::string::npos) << stamp;
        EXPECT_NE(stamp.back(), ' ') << stamp;
    }
    // Seconds stay: the long format, not the short one.
    EXPECT_TRUE(WithoutTimeZone(american.timeFormat(QLocale::LongFormat)).contains("ss"));
}

TEST(TimeStampText, ZoneFieldsGoWithTheirBlanksAndBrackets) {
    const std::pair<const char*, const char*> cases[] = {
        {"h:mm:ss AP t", "h:mm:ss AP"},     {"HH:mm:ss tttt", "HH:mm:ss"},
        {"tt HH:mm:ss", "HH:mm:ss"},        {"HH:mm:ss (ttt)", "HH:mm:ss"},
        {"HH:mm t ss", "HH:mm ss"},         {"HH 'o''clock' t", "HH 'o''clock'"},
        {"HH:mm 'at' ss", "HH:mm 'at' ss"}, {"HH:mm:ss", "HH:mm:ss"},
    };
    for (const auto& [format, expected] : cases)
        EXPECT_EQ(WithoutTimeZone(format).toStdString(), expected) << format;
}
