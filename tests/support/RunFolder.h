#pragma once

#include <functional>
#include <string>

#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "run/MailRun.h"
#include "store/Database.h"
#include "store/Settings.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/Rows.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

namespace vorel::test {

// An application folder ready for a mail run: data.mdb made and upgraded, a
// short time-out, no end program.
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
    explicit ServedFolder(const SmtpServer::Options& o = {}) : smtp(o) {
        pointAt(pop);
        pointAt(smtp);
    }
};

}  // namespace vorel::test
