// The yardstick of the desk program's start-up benchmark: a Qt program that
// only shows an empty 279 by 230 dialog.
#include <QApplication>
#include <QDialog>

int main(int argc, char** argv) {
    // Started as the desk program starts itself: no GL integration.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION")) qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setFixedSize(279, 230);
    dialog.setWindowTitle("minimal");
    dialog.show();
    return QApplication::exec();
}
