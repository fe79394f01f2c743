// vorel try: what a mail run would do with one saved message, worked out by
// the run's own handling in a scratch copy of the application folder, so that
// nothing of the real folder is queued, counted, stored or sent.
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "app/Commands.h"
#include "base/Clock.h"
#include "base/Idn.h"
#include "base/TextCompare.h"
#include "core/MailComponent.h"
#include "core/Reporter.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "mail/Address.h"
#include "mail/Processing.h"
#include "net/Mime.h"
#include "store/AntiSpam.h"
#include "store/AppFolder.h"
#include "store/Database.h"
#include "store/Queue.h"
#include "store/Settings.h"

namespace vorel {

namespace {

namespace fs = std::filesystem;

bool readWhole(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return !in.bad();
}

// The one message of the file as the mail component would serve it: the
// same parsing as the real component's, no server. Nothing is sent.
class FileMailComponent : public MailComponent {
public:
    explicit FileMailComponent(std::string raw) : raw_(std::move(raw)) {
        mime::ensureInit();
        message_ = mime::parseMessage(raw_);
    }

    void setTranscriptHandler(TranscriptHandler) override {}
    void setTranscriptOn(bool) override {}
    bool transcriptOn() const override { return false; }
    void setNoticeHandler(NoticeHandler) override {}
    void setWaitHandler(WaitHandler) override {}
    void setTimeout(int) override {}
    void popConnect(const std::string&, const std::string&, const std::string&) override {}
    long messageCount() override { return 1; }
    std::vector<std::string> uniqueIds() override { return {}; }
    void selectMessage(long) override {}
    void fetchHeader() override { takeHeaderValues(); }
    std::string headerField(const std::string& name) const override {
        for (const mime::HeaderField& f : message_.fields) {
            if (sameText(f.name, name)) {
                return mime::decodeHeaderValue(f.value);
            }
        }
        return {};
    }
    bool hasHeaderField(const std::string& name) const override {
        for (const mime::HeaderField& f : message_.fields) {
            if (sameText(f.name, name)) {
                return true;
            }
        }
        return false;
    }
    void deleteMessage() override { deleted_ = true; }
    void fetchMessage() override { takeHeaderValues(); }
    void saveWorkFile(const std::string& path) override {
        writeFile(path, mime::workFileText(message_));
    }
    void saveMessageFile(const std::string& path) override { writeFile(path, raw_); }
    int extraCount() override { return message_.extraCount; }
    std::string bodyText() override { return message_.bodyText; }
    std::string from() const override { return from_; }
    std::string to() const override { return to_; }
    std::string subject() const override { return subject_; }
    void setFrom(const std::string& value) override { from_ = value; }
    void setTo(const std::string& value) override { to_ = value; }
    void setSubject(const std::string& value) override { subject_ = value; }
    void smtpConnect(const std::string&, SmtpProtocol, const std::string&,
                     const std::string&) override {
        throw MailError(mailcode::kNotConnected, "vorel try sends nothing");
    }
    void send(const OutgoingMessage&) override {
        throw MailError(mailcode::kNotConnected, "vorel try sends nothing");
    }
    void disconnect() override {}

    bool deleted() const { return deleted_; }

private:
    void takeHeaderValues() {
        from_ = message_.from;
        to_ = message_.to;
        subject_ = message_.subject;
    }
    static void writeFile(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) {
            throw MailError(mailcode::kFile, "cannot write " + path);
        }
    }

    std::string raw_;
    mime::ParsedMessage message_;
    std::string from_, to_, subject_;
    bool deleted_ = false;
};

// The run's log lines are collected for the report; nobody is asked anything.
class CollectingHost : public RunHost {
public:
    void setStatus(const std::string&) override {}
    void addLogEntry(const std::string& text) override { log.push_back(text); }
    void addDebugLine(const std::string&) override {}
    void clearDebugLines() override {}
    void setDebugModeBox(bool) override {}
    void showMessage(const std::string& text) override { log.push_back(text); }
    bool askYesNo(const std::string&) override { return false; }
    RunRequests yield() override { return {}; }

    std::vector<std::string> log;
};

// A scratch folder removed with everything in it.
class Scratch {
public:
    Scratch() {
        std::string tmpl = (fs::temp_directory_path() / "vorel-try-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        path = tmpl;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string path;
};

// Copies the files a run reads; the copies are what the handling may change.
// data.mdb goes with its write-ahead log, which may hold the latest rows.
void copyRunFiles(const std::string& from, const std::string& to) {
    for (const char* name : {"setup.ini", "data.mdb", "data.mdb-wal"}) {
        std::error_code ec;
        fs::copy_file(joinPath(from, name), joinPath(to, name), ec);
    }
    if (std::optional<std::string> spam = findAntiSpamFile(from)) {
        std::error_code ec;
        fs::copy_file(*spam, joinPath(to, fs::path(*spam).filename().string()), ec);
    }
}

std::string withoutLineEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    return s;
}

void printIndented(const std::string& text, const char* indent) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::printf("%s%s\n", indent, line.c_str());
    }
}

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// Why an autoresponder does or does not answer, by the run's own comparisons.
std::string verdict(const Autoresponder& row, const std::string& to, const std::string& subject) {
    const bool toMatches = sameText(to, row.To) || sameText(to, "<" + row.To + ">");
    const bool subjectMatches = sameText(subject, row.Subject);
    if (toMatches && subjectMatches) {
        return "matches (To and Subject)";
    }
    if (toMatches) {
        return "matches (To)";
    }
    if (subjectMatches) {
        return "matches (Subject)";
    }
    return "does not match: To differs (" + quoted(to) + " is not " + quoted(row.To) +
           "), Subject differs (" + quoted(subject) + " is not " + quoted(row.Subject) + ")";
}

}  // namespace

int cmdTry(const CommandLine& cl) {
    if (cl.args.size() != 1 || cl.args[0].rfind("--", 0) == 0) {
        std::fputs("usage: vorel try FILE [--folder DIR]\n", stderr);
        return kExitUsage;
    }
    const std::string file = cl.args[0];
    std::string raw;
    std::error_code ec;
    if (fs::is_directory(file, ec)) {
        std::fprintf(stderr, "vorel try: %s is a folder, not a message file\n", file.c_str());
        return 1;
    }
    errno = 0;
    if (!readWhole(file, raw)) {
        std::fprintf(stderr, "vorel try: cannot read the message file %s: %s\n", file.c_str(),
                     std::strerror(errno ? errno : EIO));
        return 1;
    }
    // The real folder is only read: no folder or database is made for it.
    const std::string folder = resolveAppFolder(cl.folder);
    Scratch scratch;
    copyRunFiles(folder, scratch.path);

    SystemClock clock;
    CollectingHost host;
    Reporter report(scratch.path, host, clock);
    FileMailComponent mail(raw);
    RunState state;
    readSettingsLines(scratch.path, state.settings);
    // The handling below deletes nothing on a server; with "leave" off it
    // would mark the message, which only this report sees.
    for (const std::string& line : readAntiSpamLines(scratch.path)) {
        AntiSpamEntry e = splitAntiSpamLine(line);
        e.from = readableDomains(e.from);
        e.to = readableDomains(e.to);
        state.antiSpam.push_back(std::move(e));
    }
    std::string dbNote;
    try {
        state.db.emplace(Database::open(joinPath(scratch.path, "data.mdb")));
        Database::upgradeSchema(joinPath(scratch.path, "data.mdb"));
        state.autoresponderRows = state.db->autoresponders();
        state.listRows = state.db->lists();
        for (Autoresponder& a : *state.autoresponderRows) {
            a.To = readableDomains(a.To);
        }
        for (MailingList& l : *state.listRows) {
            for (std::string* a : {&l.onsubscribeto, &l.onunsubscribeto, &l.sendtolistfrom}) {
                *a = readableDomains(*a);
            }
        }
    } catch (const std::exception& e) {
        dbNote = e.what();
    }

    // The header as the run reads it: defaults for missing fields, bare
    // addresses, the first sender only.
    mail.fetchHeader();
    if (mail.subject().empty()) {
        mail.setSubject("(No Subject)");
    }
    if (mail.to().empty()) {
        mail.setTo("(No To)");
    }
    if (mail.from().empty()) {
        mail.setFrom("(No From)");
    }
    mail.setTo(tidyAddress(mail.to()));
    mail.setFrom(readableDomains(firstAddress(extractAddresses(mail.from()))));
    mail.setTo(readableDomains(extractAddresses(mail.to())));
    const std::string from = mail.from(), to = mail.to(), subject = mail.subject();

    std::printf("Message %s\n", file.c_str());
    std::printf("  From: %s\n  To: %s\n  Subject: %s\n", from.c_str(), to.c_str(),
                subject.c_str());
    std::printf("Folder %s (nothing in it is changed)\n", folder.c_str());
    if (!dbNote.empty()) {
        std::printf("  data.mdb cannot be read: %s\n", dbNote.c_str());
    }

    for (const AntiSpamEntry& e : state.antiSpam) {
        if (sameText(from, e.from) || sameText(subject, e.subject) || sameText(to, e.to)) {
            std::printf("Anti-spam: the message would be DELETED (entry From %s, Subject %s, "
                        "To %s)\n",
                        quoted(e.from).c_str(), quoted(e.subject).c_str(), quoted(e.to).c_str());
            std::printf("Nothing else would be done with it.\n");
            return 0;
        }
    }
    std::printf("Anti-spam: not deleted\n");

    std::printf("Autoresponders:\n");
    if (!state.autoresponderRows || state.autoresponderRows->empty()) {
        std::printf("  none set up\n");
    } else {
        for (const Autoresponder& row : *state.autoresponderRows) {
            std::printf("  %s: %s\n", row.Name.c_str(), verdict(row, to, subject).c_str());
        }
    }

    RunContext ctx{scratch.path, state, report, mail, clock, host};
    if (state.db) {
        processMessage(ctx, 1);
    }

    std::printf("The run would log:\n");
    for (const std::string& line : host.log) {
        std::printf("  %s\n", line.c_str());
    }

    std::printf("It would queue:\n");
    int records = 0;
    const std::string queue = joinPath(scratch.path, kQueueFile);
    if (fileExists(queue)) {
        QueueReader reader(queue);
        while (!reader.atEnd()) {
            QueueRecord r = reader.readRecord();
            const std::string body = withoutLineEnd(r.body);
            const bool forward = !body.empty() && body[0] == '~';
            const bool copy = !forward && withoutLineEnd(r.from) == from && from != "(No From)";
            std::printf("  %s\n", forward ? "Forward (the whole message)"
                                  : copy  ? "List copy"
                                          : "Reply");
            std::printf("    To: %s\n    From: %s\n    Subject: %s\n",
                        withoutLineEnd(r.to).c_str(), withoutLineEnd(r.from).c_str(),
                        withoutLineEnd(r.subject).c_str());
            if (!forward) {
                std::printf("    Body:\n");
                printIndented(body, "      ");
            }
            ++records;
        }
    }
    if (records == 0) {
        std::printf("  nothing\n");
    }
    if (mail.deleted()) {
        std::printf("The message would then be deleted from the server.\n");
    }
    return 0;
}

}  // namespace vorel
