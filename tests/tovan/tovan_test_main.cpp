// main() of the desk program's tests: the framework started once, as the
// program does, and one QApplication on the platform the environment names
// (offscreen by default).
#include "tovan/plugins/plugin_def.h"

#include "rulo/errlog.h"
#include "rulo/init.h"

#include <QApplication>

#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    static rulo::init* api = new rulo::init(nullptr);
    // The host tables carry the framework table, as the program hands it over.
    tovan::plugin_def::init(api);
    rulo::errlog::set_vlevel(9999);
    return RUN_ALL_TESTS();
}
