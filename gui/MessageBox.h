#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace vorel {

// Every message box and file dialog of the windows goes through here, so that
// tests can answer them ahead ("next answer" hooks) instead of a person.
class MessageBox {
public:
    enum Answer { Ok, Yes, No, Save, Discard, Cancel };

    static void information(QWidget* parent, const QString& text);
    // Yes and No; true for Yes.
    static bool question(QWidget* parent, const QString& text);
    // Save, Discard or Cancel (Escape); Yes of the hooks counts as Save, No
    // as Discard.
    static Answer saveDiscardCancel(QWidget* parent, const QString& text);

    // Tests: the answers of the next boxes, in order; while any remain (or a
    // standing answer is set) no box is shown.
    static void setNextAnswer(Answer answer);
    // Tests: an answer for every box once the queue is empty.
    static void setStandingAnswer(Answer answer);
    static void clearAnswers();
    // Tests: texts of the boxes answered so far.
    static const QStringList& answeredTexts();
};

class FileDialog {
public:
    // Empty when the user cancels.
    static QString openFileName(QWidget* parent, const QString& caption, const QString& filter);
    static QString saveFileName(QWidget* parent, const QString& caption, const QString& filter);
    // Tests: the file name the next dialog returns without being shown.
    static void setNextFileName(const QString& name);
};

}  // namespace vorel
