#include <gtest/gtest.h>

#include "gui_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include "store/Database.h"

namespace vorel::test {

bool waitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(5);
    }
    return true;
}

QStringList items(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) {
        out << list->item(i)->text();
    }
    return out;
}

void click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
}

GuiFolder::GuiFolder() {
    Database::createIfMissing(folder.file("data.mdb"));
    settings.txtRUNPROGRAM = "";
    settings.txtTIMEOUT = "5";
}

void GuiFolder::writeSettings() const {
    vorel::writeSettings(folder.path(), settings);
}

void GuiFolder::addAutoresponder(const std::string& to) const {
    Autoresponder a;
    a.Name = "INFO";
    a.To = to;
    a.msgfrom = "robot@me.example";
    a.msgsubject = "Re: your mail";
    a.message = "Thanks";
    Database::open(folder.file("data.mdb")).addAutoresponder(a);
}

}  // namespace vorel::test
