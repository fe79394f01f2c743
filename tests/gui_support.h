#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QUrl>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gui/AppWindows.h"
#include "gui/Backdrop.h"
#include "gui/MainForm.h"
#include "gui/MessageBox.h"
#include "gui/RunMailWindow.h"
#include "store/Database.h"
#include "store/Settings.h"
#include "support/TempFolder.h"

// Failures show the texts, not their UTF-16 units.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace vorel::test {

class PopServer;
class SmtpServer;

// Turns the event loop until `done` holds or `ms` have passed; returns `done`.
bool waitUntil(const std::function<bool()>& done, int ms = 30000);
inline void pause(int ms) {
    waitUntil([] { return false; }, ms);
}

// The control named `name` in `window`; a missing one ends the test, not the executable.
template <typename W>
W* control(QWidget* window, const char* name) {
    W* w = window->findChild<W*>(QString::fromLatin1(name));
    if (!w) {
        throw std::runtime_error(std::string("no control ") + name);
    }
    return w;
}

inline QString q(const std::string& s) {
    return QString::fromStdString(s);
}
QStringList items(const QListWidget* list);
// "a|b|c" as a list of texts.
QStringList texts(const char* joined);
void click(QAbstractButton* button);
void click(QWidget* window, const char* button);
// Clicks like click(); returns the texts of the message boxes that showed.
QStringList press(QWidget* window, const char* button);

// Runs this test again in a child on a session bus of its own that starts nothing on demand,
// with VOREL_TEST_CHILD=`mode` (childMode() there) and `env` set, `prefix` before the bus
// ("xvfb-run -a"); true if the child passed.
bool passesInChild(const std::string& mode, const std::string& prefix = "",
                   const std::string& env = "");
std::string childMode();
// Starts tests/support/`script` and waits for its first line; it ends with the object.
struct EndHelper {
    void operator()(QProcess* p) const {
        p->kill();
        p->waitForFinished();
        delete p;
    }
};
using Helper = std::unique_ptr<QProcess, EndHelper>;
Helper startHelper(const char* script, const QStringList& args);

// An application folder with data.mdb and a setup.ini for loopback servers.
struct GuiFolder {
    TempFolder folder;
    Settings settings;

    GuiFolder();
    void pointAt(const PopServer& pop, const SmtpServer& smtp);
    void writeSettings() const { vorel::writeSettings(folder.path(), settings); }
    Database db() const { return Database::open(folder.file("data.mdb")); }
    void addAutoresponder(const std::string& to) const;
};

// The windows over a GuiFolder; the desktop replaced by a list of what it was asked to open.
struct AppTest : ::testing::Test {
    GuiFolder f;
    std::unique_ptr<AppWindows> app;
    std::vector<QUrl> opened;
    bool openResult = true;

    AppTest();
    ~AppTest() override;
    // Writes setup.ini and shows the windows; Timer1 ticks only when told.
    void start(std::vector<std::string> args = {});
};

}  // namespace vorel::test
