// The test main of tests that need Qt's event loop (timers, sockets) but no widgets: one
// QCoreApplication for the whole run, made before any test and gone after the last.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
