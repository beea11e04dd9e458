// XML-described dialogs (start-up, start and end of session): a modal Qt
// dialog built from a dialogs.ini description, with variables put into its
// "data" texts and the values the user entered collected into a result
// record. GUI thread only; made, initialised, run once and destroyed by its
// caller. dialog_model.h works out every control; this class only makes the
// widgets.
#pragma once

#include "tovan/dialogs/dialog_model.h"
#include "tovan/dialogs/xml_parser.h"

#include <QDialog>

#include <string>

class QButtonGroup;

namespace tovan {

class CXMLDialog : public QDialog {
    Q_OBJECT
public:
    explicit CXMLDialog(QWidget* parent);
    ~CXMLDialog() override;

    // Parses the description; false when the reader refused it (the part
    // read before the error is kept and still makes its controls). The
    // reader's error is logged.
    bool initDialog(std::string const& xml);
    // Makes and fills the controls, then runs the dialog: 1 OK, 0 cancelled
    // or closed. variables may be null. A refused description shows the
    // controls read before the error. One that makes no window of any size
    // (refused or not) is not shown: the answer is then 1 and the result
    // stays empty, as if no dialog had been described.
    int doModal(dialog_variables const* variables);
    // The controls made and filled, not run (doModal's first half).
    void build(dialog_variables const* variables);

    // The result name and the map of values, filled when the dialog closes.
    std::string const& result() const { return m_result; }
    _tagXMLNode const& dialog_node() const { return m_dialog_node; }

    void done(int result) override;

public slots:
    void OnOK();
    void OnCancel();

private:
    void mmCreateControl(_tagXMLNode& node, dialog_variables const* variables);
    void mmUpdateControl(_tagXMLNode& node, bool skip_pictures);
    QWidget* control_of(_tagXMLNode const& node) const;

    _tagXMLNode m_dialog_node;
    _tagXMLNode m_results_node;
    std::string m_result;
    QButtonGroup* m_radio_group = nullptr;
};

} // namespace tovan
