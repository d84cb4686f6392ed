// Runs the window tests inside one QApplication on Qt's offscreen platform.
#include <QApplication>
#include <QStyleFactory>
#include <cstdlib>

#include <gtest/gtest.h>

#include "support/test_support.h"

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    quorvale::test::UsePrivateRuntimeFolder();
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
