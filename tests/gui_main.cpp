#include <gtest/gtest.h>

#include <QApplication>

// GoogleTest with the QApplication the windows need (offscreen under CTest).
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
