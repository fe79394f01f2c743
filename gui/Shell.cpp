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

void setUrlOpener(UrlOpener o) {
    opener() = std::move(o);
}

void previewMessage(QWidget* parent, const std::string& folder, const std::string& body) {
    if (body.find("<HTML>") != std::string::npos) {
        const std::string path = joinPath(folder, "htmlprev.htm");
        writeWhole(path, body);
        openWithShell(QString::fromStdString(path));
        return;
    }
    const std::string path = joinPath(folder, "msg.temp");
    if (!writeWhole(path, body) || !openWithShell(QString::fromStdString(path))) {
        MessageBox::information(parent, QStringLiteral("Sorry, Could not find 'notepad.exe'"));
    }
}

}  // namespace vorel
