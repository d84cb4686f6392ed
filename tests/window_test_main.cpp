// Runs the window tests inside one QApplication on Qt's offscreen platform.
#include <QApplication>
#include <QStyleFactory>
#include <cstdlib>

#include <gtest/gtest.h>

#include "support/test_support.h"

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    quorvale::test::UsePrivateRuntimeFolder();
    // What the window remembers (QSettings) goes into a folder of the tests', removed at the end.
    static const quorvale::support::TempDir config("quorvale-config");
    ::setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
    // And the catalogue the find window searches is the tests' own.
    static const quorvale::support::TempDir data("quorvale-data");
    ::setenv("XDG_DATA_HOME", data.Path().c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
