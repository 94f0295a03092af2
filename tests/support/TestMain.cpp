#include "TestCertificates.h"

#include <QApplication>
#include <QLocale>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

// Every test program shares this main: widget tests need an application
// object, and all of them run without a display.
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::signal(SIGPIPE, SIG_IGN);
    TestCertificates::TrustInThisProcess();
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quilvane");
    return RUN_ALL_TESTS();
}
