#include "core/Reporter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "base/Clock.h"
#include "base/WriteAll.h"
#include "core/RunHost.h"
#include "store/AppFolder.h"
#include "store/Settings.h"

namespace vorel {

namespace {

constexpr char kMask[] = "********";

// Our fixed short date form and the log time, "DD/MM/YYYY HH:MM:SS".
std::string logStamp(const LocalTime& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour,
                  t.minute, t.second);
    return buf;
}

// Opens, appends and closes; a file that cannot be written is skipped. The
// line and its end go out in one write. False when the file is a symbolic
// link, which is never written through.
bool appendLine(const std::string& path, const std::string& line) {
    // Logs name people and, with debug on, hold server dialogues.
    const int fd = openNoFollow(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0) {
        return errno != ELOOP;
    }
    writeAll(fd, line + "\r\n");
    ::close(fd);
    return true;
}

std::string stripLineEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    return s;
}

bool startsWithNoCase(const std::string& s, const std::string& prefix) {
    if (s.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i];
        if (a >= 'a' && a <= 'z') {
            a = static_cast<char>(a - 'a' + 'A');
        }
        if (a != prefix[i]) {
            return false;
        }
    }
    return true;
}

// A server's request for more SASL data: "+ ..." in POP3, "334 ..." in SMTP.
bool isChallenge(const std::string& line) {
    return line == "+" || line.rfind("+ ", 0) == 0 || line.rfind("334", 0) == 0;
}

// The code point of the well-formed UTF-8 sequence at text[i] and its
// length; length 0 when the bytes there are not one.
std::size_t utf8At(const std::string& text, std::size_t i, char32_t& cp) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        cp = lead & 0x1F;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        cp = lead & 0x0F;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        cp = lead & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

std::string shownText(const std::string& text) {
    // U+FFFD rather than "?": a question mark is common in subjects, so a
    // replaced character would pass unnoticed, and the lines are UTF-8 anyway.
    static const std::string kPlaceholder = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t cp = 0;
        const std::size_t length = utf8At(text, i, cp);
        if (length == 0) {
            out += kPlaceholder;
            ++i;
            continue;
        }
        if (cp == '\r' || cp == '\n') {
            out += ' ';
        } else if ((cp < 0x20 && cp != '\t') || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 ||
                   cp == 0x2029) {
            out += kPlaceholder;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

std::string& checkchr255(std::string& text) {
    if (!text.empty() && static_cast<unsigned char>(text.back()) == 255) {
        text.pop_back();
    }
    return text;
}

Reporter::Reporter(std::string folder, RunHost& host, const Clock& clock)
    : folder_(std::move(folder)), host_(host), clock_(clock) {}

void Reporter::setStatus(const std::string& text) {
    host_.setStatus(shownText(text));
}

void Reporter::addLogLine(const std::string& text) {
    const std::string shown = shownText(text);
    host_.addLogEntry(shown);
    if (!logOn_) {
        return;
    }
    if (!appendLogLine(logStamp(clock_.now()) + " " + shown)) {
        noteRefusedLink(kRunLogFile);
    }
}

bool Reporter::appendLogLine(const std::string& line) {
    const std::string path = runLogPath(folder_);
    if (logFd_ >= 0) {
        // Still the file held? The log may have been mailed and removed,
        // deleted from the settings window, or replaced by a link.
        struct stat named {};
        if (::lstat(path.c_str(), &named) != 0 || named.st_ino != logInode_ ||
            named.st_dev != logDevice_) {
            closeLog();
        }
    }
    if (logFd_ < 0) {
        // Logs name people and, with debug on, hold server dialogues.
        logFd_ = openNoFollow(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
        if (logFd_ < 0) {
            return errno != ELOOP;
        }
        struct stat held {};
        if (::fstat(logFd_, &held) != 0) {
            closeLog();
            return appendLine(path, line);
        }
        logInode_ = held.st_ino;
        logDevice_ = held.st_dev;
    }
    writeAll(logFd_, line + "\r\n");
    return true;
}

void Reporter::closeLog() noexcept {
    if (logFd_ >= 0) {
        ::close(logFd_);
        logFd_ = -1;
    }
}

void Reporter::setLogSetting(const std::string& value) {
    logOn_ = lineIsOnUnlessZero(value);
}

Reporter::~Reporter() {
    closeLog();
}

void Reporter::noteRefusedLink(const std::string& name) {
    // Once per file and run: the screen log is where the user can still see it.
    if (refusedLinks_.insert(name).second) {
        host_.addLogEntry(
            name + " in " + folder_ +
            " is a symbolic link, which Vorel does not follow: nothing is logged to it");
    }
}

void Reporter::addScreenLogLine(const std::string& text) {
    host_.addLogEntry(shownText(text));
}

void Reporter::addDebugLine(const std::string& text) {
    host_.addDebugLine(shownText(text));
}

void Reporter::setTranscript(bool on) {
    if (mail_) {
        mail_->setTranscriptOn(on);
    }
}

void Reporter::setDebugBox(bool ticked) {
    bool changed = ticked != debugBox_;
    debugBox_ = ticked;
    host_.setDebugModeBox(ticked);
    // A check box set by the program to a new value runs its click handler.
    if (changed) {
        debugBoxClicked(ticked);
    }
}

void Reporter::setDebugMode(bool on) {
    if (on) {
        setTranscript(true);
        setDebugBox(true);
        return;
    }
    setTranscript(false);
    host_.clearDebugLines();
    addDebugLine("Debugging Switched Off - Turn on in System Settings or Below");
    setDebugBox(false);
}

void Reporter::debugBoxClicked(bool ticked) {
    debugBox_ = ticked;
    if (ticked) {
        setTranscript(true);
        return;
    }
    setTranscript(false);
    host_.clearDebugLines();
    addDebugLine("Debugging Switched Off");
}

std::string Reporter::maskLine(const std::string& line, TranscriptDirection direction) {
    std::string shown = line;
    // SASL logins (POP3 and SMTP alike) carry the credentials in base64 on
    // the AUTH line and on every client line answering a challenge.
    // IMAP commands carry a tag first: "V1 AUTHENTICATE PLAIN ...",
    // "V1 LOGIN user password".
    const std::size_t tagEnd = line.find(' ');
    const std::string untagged = tagEnd == std::string::npos || startsWithNoCase(line, "AUTH ")
                                     ? ""
                                     : line.substr(tagEnd + 1);
    if (direction == TranscriptDirection::Sent && startsWithNoCase(untagged, "LOGIN ")) {
        shown = line.substr(0, tagEnd) + " LOGIN " + kMask;
    } else if (direction == TranscriptDirection::Sent &&
               startsWithNoCase(untagged, "AUTHENTICATE ")) {
        inAuth_ = true;
        const std::size_t mechEnd = untagged.find(' ', 13);
        if (mechEnd != std::string::npos) {
            shown = line.substr(0, tagEnd + 1) + untagged.substr(0, mechEnd) + " " + kMask;
        }
    } else if (direction == TranscriptDirection::Sent) {
        if (startsWithNoCase(line, "AUTH ")) {
            inAuth_ = true;
            // A token's challenge tells which scopes the token lacked: as
            // private as the login itself.
            tokenAuth_ = startsWithNoCase(line, "AUTH XOAUTH2") ||
                         startsWithNoCase(line, "AUTH OAUTHBEARER");
            std::size_t mechEnd = line.find(' ', 5);
            if (mechEnd != std::string::npos) {
                shown = line.substr(0, mechEnd) + " " + kMask;
            }
        } else if (inAuth_) {
            shown = kMask;
        } else if (startsWithNoCase(line, "APOP ")) {
            // The digest stands for the password to anyone who saw the greeting.
            const std::size_t userEnd = line.find(' ', 5);
            shown = line.substr(0, userEnd) + " " + kMask;
        }
    } else if (inAuth_ && !isChallenge(line)) {
        inAuth_ = false;
    } else if (inAuth_ && tokenAuth_ && line.size() > 4) {
        shown = line.substr(0, line[0] == '+' ? 2 : 4) + kMask;
    }
    // Any line naming PASS may carry the POP3 password, whoever sent it.
    if (line.find("PASS") != std::string::npos) {
        shown = "PASS ********";
    }
    return shown;
}

void Reporter::onTranscript(const std::string& line, TranscriptDirection direction) {
    std::string t = line;
    checkchr255(t);
    t = stripLineEnd(t);
    checkchr255(t);
    bool passLine = t.find("PASS") != std::string::npos;
    std::string shown = shownText(maskLine(t, direction));
    if (!appendLine(debugLogPath(folder_), shown)) {
        noteRefusedLink(kDebugLogFile);
    }
    // The list shows the mask two characters shorter, as the screen always has.
    if (passLine) {
        shown.resize(shown.size() - 2);
    }
    host_.addDebugLine(shown);
}

}  // namespace vorel
