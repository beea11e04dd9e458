// The yardstick of the desk program's start-up benchmark: a Qt program that
// only shows an empty 279 by 391 dialog.
#include <QApplication>
#include <QDialog>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setFixedSize(279, 391);
    dialog.setWindowTitle("minimal");
    dialog.show();
    return QApplication::exec();
}
