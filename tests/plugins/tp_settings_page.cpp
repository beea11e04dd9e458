// The settings page of the test plugin's settings variant: a widget with a
// save_settings() slot made as a child of the settings window the host
// hands over, beside a plain child that is no page. Saving calls back into
// the C plugin, which writes the marker with the page's place in the stack.
#include <QStackedWidget>
#include <QWidget>

namespace {

class tp_page : public QWidget {
    Q_OBJECT
public:
    tp_page(QWidget* parent, void (*saved)(int)) : QWidget(parent), m_saved(saved) {
        setWindowTitle("Test Plugin");
    }
public slots:
    void save_settings() {
        auto* stack = qobject_cast<QStackedWidget*>(parentWidget());
        m_saved(stack ? stack->indexOf(this) : -1);
    }

private:
    void (*m_saved)(int);
};

} // namespace

extern "C" void tps_make_page(void* dialog, void (*saved)(int)) {
    auto* parent = static_cast<QWidget*>(dialog);
    new tp_page(parent, saved);
    new QWidget(parent);
}

#include "tp_settings_page.moc"
