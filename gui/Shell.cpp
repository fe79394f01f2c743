#include "gui/Shell.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDesktopServices>
#include <QUrl>
#include <cerrno>

#include "base/WriteAll.h"
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

// 0 or the errno of the failure; a link planted under the name is refused.
int writeWhole(const std::string& path, const std::string& text) {
    const int fd = openNoFollow(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        return errno;
    }
    int err = writeAll(fd, text + "\r\n");
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    return err;
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
    // A link planted under the name is refused, and says so.
    if (const int err = writeWhole(path, body); err != 0) {
        MessageBox::information(parent,
                                QStringLiteral("The preview could not be written to %1: %2")
                                    .arg(shown, QString::fromStdString(fileErrorText(err))));
        return;
    }
    openFileOrSay(parent, shown);
}

}  // namespace vorel
