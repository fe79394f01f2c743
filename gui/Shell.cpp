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

// The preview file could not be written: a link says so, anything else is
// the program's old word for a preview that cannot be shown.
void previewFailed(QWidget* parent, const std::string& path, int err) {
    if (err == ELOOP) {
        MessageBox::information(parent, QString::fromStdString(path + ": " + fileErrorText(err)));
    } else {
        MessageBox::information(parent, QStringLiteral("Sorry, Could not find 'notepad.exe'"));
    }
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
        if (const int err = writeWhole(path, body); err == ELOOP) {
            previewFailed(parent, path, err);
            return;
        }
        openWithShell(QString::fromStdString(path));
        return;
    }
    const std::string path = joinPath(folder, "msg.temp");
    if (const int err = writeWhole(path, body); err != 0) {
        previewFailed(parent, path, err);
    } else if (!openWithShell(QString::fromStdString(path))) {
        MessageBox::information(parent, QStringLiteral("Sorry, Could not find 'notepad.exe'"));
    }
}

}  // namespace vorel
