#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "support/TempFolder.h"

// GoogleTest with the QApplication the windows need (offscreen under CTest).
int main(int argc, char** argv) {
    // The settings window's autostart box writes under $XDG_CONFIG_HOME: never
    // the tester's own.
    vorel::test::TempFolder config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
