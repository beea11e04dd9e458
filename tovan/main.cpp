// tovan_desk: the desk program. Starts the framework, loads the translations,
// builds the main window and its dialog, and runs the Qt event loop.
#include "tovan/dialogs/held_keys.h"
#include "tovan/lang/translations.h"
#include "tovan/plugins/plugin_def.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/util/log_message.h"
#include "tovan/window/main_form.h"
#include "tovan/window/main_window.h"
#include "tovan/window/program_args.h"
#include "tovan/window/vyn_dialog.h"

#include "rulo/errlog.h"
#include "rulo/init.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QtGlobal>

int main(int argc, char** argv) {
    using namespace tovan;
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    set_program_arguments(std::move(args));
    // The window draws no GL: without a GL integration the xcb platform
    // does not load the GL drivers, which would take most of the program's
    // memory. A user's own setting stays.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION")) qputenv("QT_XCB_GL_INTEGRATION", "none");
    auto* app = new QApplication(argc, argv);
    install_held_keys_filter(app);
    auto* api = new rulo::init(nullptr);
    init_language();
    plugin_def::init(api);
    rulo::errlog::set_vlevel(9999);
    g_main_window = new VYNMainWindow;
    dlg = new CVYNDialog(nullptr);
    dlg->start_plugin_host();
    auto* translator = new CVYNTranslator(dlg);
    QApplication::installTranslator(translator);
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(read_image_as(":/images/Tovan.png", "PNG"))));
    g_main_window->setCentralWidget(dlg);
    g_main_window->setFixedSize(dlg->width(), dlg->height());
    dlg->handle_main_app_options("load");
    QObject::connect(dlg, &QDialog::finished, g_main_window, &QWidget::close);
    g_main_window->show();
    QMetaObject::invokeMethod(
        dlg, [] { dlg->load_test_plugins(); }, Qt::QueuedConnection);
    int const result = QApplication::exec();

    remove_pin("");
    dlg->DestroyWindow();
    plugin_host::instance().unload_all();
    qDebug("Tovan - finished.\n");
    QApplication::removeTranslator(translator);
    // The framework's threads are still running: leave without static
    // destructors racing them.
    (void)app;
    end_process(result);
}
