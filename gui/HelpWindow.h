#pragma once

#include <QWidget>

class QPlainTextEdit;

namespace vorel {

// frmVORELHELP: one help window; a new text replaces the one shown.
class HelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget* parent = nullptr);
    void setHelpText(const QString& text);

private:
    QPlainTextEdit* txtHELP_;
};

}  // namespace vorel
