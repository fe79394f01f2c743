#include "gui_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdlib>
#include <filesystem>

#include "gui/Shell.h"
#include "support/TestServers.h"

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

QStringList texts(const char* joined) {
    return QString::fromUtf8(joined).split(QLatin1Char('|'));
}

void click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
}

void click(QWidget* window, const char* button) {
    click(control<QAbstractButton>(window, button));
}

QStringList press(QWidget* window, const char* button) {
    const qsizetype before = MessageBox::answeredTexts().size();
    click(window, button);
    return MessageBox::answeredTexts().mid(before);
}

bool passesInChild(const std::string& mode, const std::string& prefix, const std::string& env) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    TempFolder bus;
    // A session bus with no service directory: nothing is activated.
    bus.write("bus.conf",
              "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
              "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
              "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
              "</busconfig>\n");
    const std::string command = "VOREL_TEST_CHILD=" + mode + " " + env + " " + prefix +
                                " dbus-run-session --config-file=" + bus.file("bus.conf") + " -- " +
                                std::filesystem::read_symlink("/proc/self/exe").string() +
                                " --gtest_filter=" + info->test_suite_name() + "." + info->name();
    return std::system(command.c_str()) == 0;
}

std::string childMode() {
    const char* mode = std::getenv("VOREL_TEST_CHILD");
    return mode ? mode : "";
}

Helper startHelper(const char* script, const QStringList& args) {
    Helper p(new QProcess);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QStringLiteral("/usr/bin/python3"),
             QStringList{QStringLiteral(VOREL_SOURCE_DIR "/tests/support/") +
                         QString::fromLatin1(script)} +
                 args);
    waitUntil([&] { return p->canReadLine() || p->state() == QProcess::NotRunning; }, 20000);
    return p;
}

GuiFolder::GuiFolder() {
    Database::createIfMissing(folder.file("data.mdb"));
    Database::upgradeSchema(folder.file("data.mdb"));
    settings.txtRUNPROGRAM = "";
    settings.txtTIMEOUT = "5";
}

void GuiFolder::pointAt(const PopServer& pop, const SmtpServer& smtp) {
    settings.txtPOP = pop.host() + ":" + std::to_string(pop.port());
    settings.txtUSERID = pop.user();
    settings.txtPASSWORD = pop.password();
    settings.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
}

void GuiFolder::addAutoresponder(const std::string& to) const {
    Autoresponder a;
    a.Name = "INFO";
    a.To = to;
    a.msgfrom = "robot@me.example";
    a.message = "Thanks";
    db().addAutoresponder(a);
}

AppTest::AppTest() {
    MessageBox::clearAnswers();
    setUrlOpener([this](const QUrl& url) {
        opened.push_back(url);
        return openResult;
    });
}

AppTest::~AppTest() {
    app.reset();
    setUrlOpener({});
    MessageBox::clearAnswers();
}

void AppTest::start(std::vector<std::string> args) {
    f.writeSettings();
    app = std::make_unique<AppWindows>(f.folder.path(), std::move(args));
    app->setTickInterval(3600 * 1000);
    app->start();
}

}  // namespace vorel::test
