#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "net/Mime.h"
#include "run/MailRun.h"
#include "store/Database.h"
#include "store/Queue.h"
#include "store/Settings.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/Rows.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

namespace vorel::test {

// The To of each record of a queue file as it stands; none without the file.
inline std::vector<std::string> queuedTo(const std::string& path) {
    std::vector<std::string> to;
    for (QueueReader r(std::filesystem::exists(path) ? path : "/dev/null"); !r.atEnd();) {
        const QueueRecord record = r.readRecord();
        to.push_back(record.to.substr(0, record.to.find('\r')));
    }
    return to;
}

// Runs SQL on a connection of its own; the first column of every row.
inline std::vector<std::string> sqlRows(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> out;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    const auto row = [](void* rows, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(rows)->emplace_back(values[0] ? values[0] : "NULL");
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), row, &out, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    return out;
}

// A shell command line: its exit status, a blank, then what it wrote to both outputs.
inline std::string shell(const std::string& command) {
    TempFolder io;
    const int status = std::system((command + " >'" + io.file("out") + "' 2>&1").c_str());
    return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " + io.read("out");
}

// The built binary with these arguments, VOREL_FOLDER unset (see shell()).
inline std::string runVorel(const std::string& args) {
    return shell("VOREL_FOLDER= '" + std::string(VOREL_BINARY) + "' " + args);
}

// An application folder ready for a run: data.mdb made, a short time-out, no end program.
struct RunFolder {
    TempFolder folder;
    RecordingHost host;
    FixedClock clock{LocalTime{2026, 12, 6, 8, 5, 7}};
    Settings s;
    RunCounters state;  // the counters of the last run

    RunFolder() {
        Database::createIfMissing(folder.file("data.mdb"));
        Database::upgradeSchema(folder.file("data.mdb"));
        s.txtRUNPROGRAM = "";
        s.txtTIMEOUT = "5";
        s.txtPASSWORD = "pw";  // a run without any secret stops before it logs in
    }
    Database db() const { return Database::open(folder.file("data.mdb")); }
    void addAutoresponder(const std::string& to, const std::string& message = "Thanks",
                          const std::string& name = "INFO") {
        db().addAutoresponder(replyRule(name, to, message));
    }
    void pointAt(const PopServer& pop) {
        s.txtPOP = pop.host() + ":" + std::to_string(pop.port());
        s.txtUSERID = pop.user();
        s.txtPASSWORD = pop.password();
    }
    void pointAt(const SmtpServer& smtp) {
        s.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
    }
    // Writes setup.ini, then one run with its tries.
    bool run(MailComponent& mail, const std::function<void(MailRun&)>& prepare = {}) {
        writeSettings(folder.path(), s);
        MailRun r(folder.path(), host, mail, clock);
        if (prepare) {
            prepare(r);
        }
        const bool ok = r.doRunMail();
        state = r.state().counters;
        return ok;
    }
    bool run() {
        CurlMailComponent mail;
        return run(mail);
    }
};

// A folder pointed at a POP3 server (Dovecot) and a recording SMTP server of its own.
struct ServedFolder : RunFolder {
    PopServer pop;
    SmtpServer smtp;
    std::size_t seen = 0;  // messages runAndCollect has returned
    explicit ServedFolder(const SmtpServer::Options& o = {}) : smtp(o) {
        pointAt(pop);
        pointAt(smtp);
    }
    // One run that must end well; "recipient|subject|text" of each message it sent.
    std::vector<std::string> runAndCollect() {
        EXPECT_TRUE(run()) << host.logText();
        std::vector<std::string> out;
        const auto all = smtp.received();
        for (; seen < all.size(); ++seen) {
            const auto m = mime::parseMessage(all[seen].data);
            out.push_back(all[seen].rcptTo.at(0) + "|" + m.subject + "|" + m.bodyText);
        }
        return out;
    }
};

}  // namespace vorel::test
