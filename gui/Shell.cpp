#include "gui/Shell.h"

#include <QDesktopServices>
#include <QFile>
#include <QUrl>

#include "gui/MessageBox.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

UrlOpener& opener() {
    static UrlOpener o;
    return o;
}

QUrl targetUrl(const QString& target) {
    QUrl url(target);
    if (url.scheme().isEmpty() || url.scheme().size() == 1) {
        return QUrl::fromLocalFile(target);
    }
    return url;
}

bool writeWhole(const std::string& path, const std::string& text) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    const std::string bytes = text + "\r\n";
    return f.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
           static_cast<qint64>(bytes.size());
}

}  // namespace

bool openWithShell(const QString& target) {
    const QUrl url = targetUrl(target);
    if (opener()) {
        return opener()(url);
    }
    return QDesktopServices::openUrl(url);
}

bool openFileOrSay(QWidget* parent, const QString& path) {
    if (openWithShell(path)) {
        return true;
    }
    MessageBox::information(parent, QStringLiteral("Could not open %1 with the desktop's default "
                                                   "application; open it from there yourself.")
                                        .arg(path));
    return false;
}

bool openPageOrSay(QWidget* parent, const QString& address) {
    if (openWithShell(address)) {
        return true;
    }
    MessageBox::information(
        parent, QStringLiteral("Could not open the web browser; the page is %1").arg(address));
    return false;
}

void setUrlOpener(UrlOpener o) {
    opener() = std::move(o);
}

void previewMessage(QWidget* parent, const std::string& folder, const std::string& body) {
    const bool html = body.find("<HTML>") != std::string::npos;
    const std::string path = joinPath(folder, html ? "htmlprev.htm" : "msg.temp");
    const QString shown = QString::fromStdString(path);
    if (!writeWhole(path, body)) {
        MessageBox::information(
            parent, QStringLiteral("The preview could not be written to %1").arg(shown));
        return;
    }
    openFileOrSay(parent, shown);
}

}  // namespace vorel
