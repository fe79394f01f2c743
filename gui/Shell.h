#pragma once

#include <QString>
#include <functional>
#include <string>

class QUrl;
class QWidget;

namespace vorel {

// Opens a web address or a file with the desktop's associated program.
// Returns whether the desktop accepted it.
using UrlOpener = std::function<bool(const QUrl&)>;

// openWithShell: the result is not checked by its callers.
bool openWithShell(const QString& target);
// Opens a file with the desktop's default application; when that fails, says
// so with the file's real path. Returns whether it opened.
bool openFileOrSay(QWidget* parent, const QString& path);
// Opens a web page in the browser; when that fails, says so with the address.
bool openPageOrSay(QWidget* parent, const QString& address);
// Tests replace the desktop (nothing is opened); an empty opener restores it.
void setUrlOpener(UrlOpener opener);

// Shows a message body the way a recipient would see it: HTML (the tag
// "<HTML>" in capitals) in the browser through htmlprev.htm, anything else in
// the text viewer through msg.temp, both written in `folder`; a file that
// cannot be written or opened is reported with its path.
void previewMessage(QWidget* parent, const std::string& folder, const std::string& body);

// Web addresses of the product until real ones exist.
inline constexpr char kWebSite[] = "http://www.vorel.example/";
inline constexpr char kPartnerSite[] = "http://partner.vorel.example/?r=vorel";

}  // namespace vorel
