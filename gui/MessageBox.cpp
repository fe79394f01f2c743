#include "gui/MessageBox.h"

#include <QFileDialog>
#include <QMessageBox>
#include <deque>
#include <optional>

namespace vorel {

namespace {

// The boxes are called on the window thread only.
std::deque<MessageBox::Answer> gAnswers;
std::optional<MessageBox::Answer> gStanding;
QStringList gShown;
std::optional<QString> gNextFile;

std::optional<MessageBox::Answer> takeAnswer(const QString& text) {
    std::optional<MessageBox::Answer> a;
    if (!gAnswers.empty()) {
        a = gAnswers.front();
        gAnswers.pop_front();
    } else {
        a = gStanding;
    }
    if (a) {
        gShown.append(text);
    }
    return a;
}

// Boxes carry the product's name as their title, as every box of the system does.
QString title() {
    return QStringLiteral("Vorel");
}

}  // namespace

void MessageBox::information(QWidget* parent, const QString& text) {
    if (takeAnswer(text)) {
        return;
    }
    QMessageBox::information(parent, title(), text);
}

bool MessageBox::question(QWidget* parent, const QString& text) {
    if (auto a = takeAnswer(text)) {
        return *a == Yes;
    }
    return QMessageBox::question(parent, title(), text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

MessageBox::Answer MessageBox::saveDiscardCancel(QWidget* parent, const QString& text) {
    if (auto a = takeAnswer(text)) {
        switch (*a) {
            case Yes:
            case Ok:
                return Save;
            case No:
                return Discard;
            default:
                return *a;
        }
    }
    switch (QMessageBox::question(parent, title(), text,
                                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel,
                                  QMessageBox::Save)) {
        case QMessageBox::Save:
            return Save;
        case QMessageBox::Discard:
            return Discard;
        default:
            return Cancel;
    }
}

void MessageBox::setNextAnswer(Answer answer) {
    gAnswers.push_back(answer);
}

void MessageBox::setStandingAnswer(Answer answer) {
    gStanding = answer;
}

void MessageBox::clearAnswers() {
    gAnswers.clear();
    gStanding.reset();
    gShown.clear();
}

const QStringList& MessageBox::answeredTexts() {
    return gShown;
}

QString FileDialog::openFileName(QWidget* parent, const QString& caption, const QString& filter) {
    if (gNextFile) {
        QString name = *gNextFile;
        gNextFile.reset();
        return name;
    }
    return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
}

QString FileDialog::saveFileName(QWidget* parent, const QString& caption, const QString& filter) {
    if (gNextFile) {
        QString name = *gNextFile;
        gNextFile.reset();
        return name;
    }
    return QFileDialog::getSaveFileName(parent, caption, QString(), filter);
}

void FileDialog::setNextFileName(const QString& name) {
    gNextFile = name;
}

}  // namespace vorel
