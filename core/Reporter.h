#pragma once

#include <set>
#include <string>

#include "core/MailComponent.h"

namespace vorel {

class Clock;
class RunHost;

// Every text the run shows or logs is the product's own and is kept letter
// for letter, misspellings included ("failiures", "ESTMP", "STMP",
// "mailling"): users' filters and scripts match on them. Do not correct them.
//
// The run's three reporting channels: the status line, the run log (list and
// log.txt) and the server transcript (list and debug.log, password masked).
class Reporter {
public:
    Reporter(std::string folder, RunHost& host, const Clock& clock);
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;
    // log.txt stays open from the first line a run logs until this call (a
    // line costs a check and a write instead of an open and a close).
    void closeLog() noexcept;

    void setStatus(const std::string& text);
    void addLogLine(const std::string& text);
    // A line for the on-screen log only (the driver's "Testing To: " lines).
    void addScreenLogLine(const std::string& text);
    void addDebugLine(const std::string& text);
    // Debug mode as setup.ini line 18 sets it (debugModeOn).
    void setDebugMode(bool on);
    // The user ticked or cleared "Debug Mode".
    void debugBoxClicked(bool ticked);
    // The mail component's transcript: masks passwords and AUTH exchanges.
    void onTranscript(const std::string& line, TranscriptDirection direction);

    // The log setting (setup.ini line 6): log.txt is written unless exactly "0".
    void setLogSetting(const std::string& value);
    void attach(MailComponent& mail) { mail_ = &mail; }
    const Clock& clock() const { return clock_; }
    // State of the "Debug Mode" box as the run last set or saw it.
    bool debugBox() const { return debugBox_; }

private:
    // Sets the box as the program does: a change of value fires its click.
    void setDebugBox(bool ticked);
    void setTranscript(bool on);
    // The transcript line as it may be shown and stored: password and AUTH
    // exchanges masked. `line` comes without its line end.
    std::string maskLine(const std::string& line, TranscriptDirection direction);
    void noteRefusedLink(const std::string& name);
    // False when log.txt is a symbolic link (never written through).
    bool appendLogLine(const std::string& line);

    std::string folder_;
    RunHost& host_;
    const Clock& clock_;
    MailComponent* mail_ = nullptr;
    bool logOn_ = true;
    bool debugBox_ = false;
    bool inAuth_ = false;
    std::set<std::string> refusedLinks_;
    bool tokenAuth_ = false;  // the exchange is an OAuth2 one (XOAUTH2, OAUTHBEARER)
    int logFd_ = -1;
    unsigned long long logInode_ = 0;
    unsigned long long logDevice_ = 0;
};

// A text as one line that shows and logs safely: line breaks become blanks;
// control characters (C0 except TAB, DEL, C1, U+2028, U+2029), which could
// retitle, clear or recolour a terminal or break a line in a viewer, and
// bytes that are not UTF-8 become U+FFFD. Every channel of the Reporter
// passes its text through here.
std::string shownText(const std::string& text);

// Removes one trailing character 255 from the text when there is one.
std::string& checkchr255(std::string& text);

}  // namespace vorel
