// The closing steps of a mail run against real loopback servers: the queue is
// sent through the real mail component into a recording SMTP server, and
// forwarded messages come from a real POP3 mailbox.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "core/Reporter.h"
#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "run/MailRun.h"
#include "run/SendStep.h"
#include "store/Database.h"
#include "store/Queue.h"
#include "store/Settings.h"
#include "support/FixedClock.h"
#include "support/RecordingHost.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

using test::PopServer;
using test::RecordingHost;
using test::SmtpServer;
using test::TempFolder;

using test::FixedClock;

QueueRecord reply(int n, std::string body = {}) {
    std::string num = std::to_string(n);
    return {"r" + num + "@dest.example", "vorel@src.example", "Reply " + num,
            body.empty() ? "Dear r" + num + ",\r\nthanks for writing." : body};
}

// The bytes appendQueueRecord writes for these records.
std::string queueBytes(const std::vector<QueueRecord>& records) {
    TempFolder scratch;
    for (const auto& r : records) {
        appendQueueRecord(scratch.path(), r);
    }
    return records.empty() ? std::string() : scratch.read(kQueueFile);
}

SmtpServer::Options refusing(const std::string& recipient) {
    SmtpServer::Options o;
    o.refuseRecipients = {recipient};
    return o;
}

std::string smtpHost(const SmtpServer& smtp) {
    return smtp.host() + ":" + std::to_string(smtp.port());
}

// First line of the value of header field `name` (any case) in a received message.
std::string header(const std::string& data, std::string name) {
    std::string head = "\r\n" + data.substr(0, data.find("\r\n\r\n"));
    auto lower = [](std::string& t) {
        std::transform(t.begin(), t.end(), t.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    };
    std::string folded = head;
    lower(folded);
    lower(name);
    std::size_t at = folded.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return {};
    }
    at += name.size() + 4;
    return head.substr(at, head.find("\r\n", at) - at);
}

std::string bodyOf(const std::string& data) {
    std::size_t at = data.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : data.substr(at + 4);
}

int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++n;
    }
    return n;
}

// What the driver does after the POP3 session, in its order.
struct Closing {
    TempFolder folder;
    RecordingHost host;
    FixedClock clock;
    RunState state;
    Reporter report{folder.path(), host, clock};
    CurlMailComponent mail;
    RunContext ctx{folder.path(), state, report, mail, clock, host};

    explicit Closing(const SmtpServer* smtp = nullptr) {
        state.settings.txtRUNPROGRAM.clear();
        if (smtp) {
            state.settings.txtSMTP = smtpHost(*smtp);
        }
    }
    void queue(const std::vector<QueueRecord>& records) const {
        for (const auto& r : records) {
            appendQueueRecord(folder.path(), r);
        }
    }
    void run() {
        report.setLogSetting(state.settings.chkLOG);
        state.smtpConnected = false;
        runSendingStep(ctx);
        logStatistics(ctx);
        sendLogEmail(ctx);
        cleanUpMessageFiles(ctx);
        startEndProgram(ctx);
        mail.disconnect();
    }
    std::string queueLeft() const {
        return folder.exists(kQueueFile) ? folder.read(kQueueFile) : std::string();
    }
};

std::vector<std::string> recipients(const std::vector<SmtpServer::Received>& got) {
    std::vector<std::string> out;
    for (const auto& m : got) {
        out.push_back(m.rcptTo.empty() ? std::string() : m.rcptTo.front());
    }
    return out;
}

// ------------------------------------------------------------ queue handling

TEST(SendStep, RefusedRecordStaysQueuedAsWrittenAndTheRestGoOut) {
    SmtpServer smtp(refusing("r2@dest.example"));
    Closing c(&smtp);
    c.queue({reply(1), reply(2), reply(3)});
    c.folder.write("1.msg", "saved");
    c.folder.write("temp.msg", "work");
    c.run();

    auto got = smtp.received();
    ASSERT_EQ(recipients(got), (std::vector<std::string>{"r1@dest.example", "r3@dest.example"}));
    EXPECT_GT(got[1].session, got[0].session) << "the next record goes over a new connection";
    EXPECT_EQ(c.queueLeft(), queueBytes({reply(2)}));
    EXPECT_FALSE(c.folder.exists(kQueueNewFile));
    EXPECT_TRUE(c.host.hasLogEntry("Reconnecting to SMTP Server due to failed message"));
    EXPECT_TRUE(c.folder.exists("1.msg"));
    EXPECT_TRUE(c.folder.exists("temp.msg"));
    // The identifier is the left part of a Message-ID that stays unique.
    std::string id1 = header(got[0].data, "Message-ID"), id3 = header(got[1].data, "Message-ID");
    EXPECT_EQ(id1.rfind("<202612545296_KESO", 0), 0u) << id1;
    EXPECT_NE(id1, id3);

    // Better to send a record twice than to lose one: with msgqueue.new
    // unwritable the old queue stays as it was.
    SmtpServer smtp2(refusing("r2@dest.example"));
    Closing c2(&smtp2);
    c2.queue({reply(1), reply(2), reply(3)});
    const std::string before = c2.folder.read(kQueueFile);
    std::filesystem::create_directory(c2.folder.file(kQueueNewFile));
    c2.run();
    EXPECT_EQ(recipients(smtp2.received()), std::vector<std::string>{"r1@dest.example"});
    EXPECT_EQ(c2.queueLeft(), before);
}

TEST(SendStep, CancelCarriesTheUnsentRestOverByteForByte) {
    SmtpServer smtp;
    Closing c(&smtp);
    std::string longBody;
    for (int i = 0; i < 2500; ++i) {
        longBody += "body line " + std::to_string(i) + "\r\n";
    }
    c.queue({reply(1), reply(2), reply(3, longBody)});
    const std::string before = c.folder.read(kQueueFile);
    const std::string firstRecord = queueBytes({reply(1)});
    c.folder.write("1.msg", "saved");
    c.host.setOnLogEntry([&c](const std::string& line) {
        if (line.rfind("Message Sent From:", 0) == 0) {
            c.state.cancelRequested = true;
        }
    });
    c.run();

    EXPECT_EQ(recipients(smtp.received()), std::vector<std::string>{"r1@dest.example"});
    EXPECT_EQ(c.queueLeft(), before.substr(firstRecord.size()));
    EXPECT_TRUE(c.folder.exists("1.msg"));
}

TEST(SendStep, EmptyOrMissingQueueSendsNothingAndStillPrintsStatistics) {
    enum Kind { Missing, Empty, LeftoverNew };
    for (Kind kind : {Missing, Empty, LeftoverNew}) {
        SCOPED_TRACE(kind);
        SmtpServer smtp;
        Closing c(&smtp);
        if (kind == Empty) {
            c.folder.write(kQueueFile, "");
        }
        if (kind == LeftoverNew) {
            c.folder.write(kQueueNewFile, queueBytes({reply(9)}));
        }
        for (const char* name : {"4.msg", "12.msg", "temp.msg", "OLD.MSG", "notes.txt"}) {
            c.folder.write(name, "x");
        }
        c.state.counters = {.antiSpam = 2,
                            .processed = 7,
                            .autoresponders = 3,
                            .subscriptions = 1,
                            .unsubscriptions = 4};
        c.run();

        EXPECT_TRUE(smtp.received().empty());
        EXPECT_EQ(c.queueLeft(), kind == LeftoverNew ? queueBytes({reply(9)}) : "");
        EXPECT_FALSE(c.folder.exists(kQueueNewFile));
        for (const char* name : {"4.msg", "12.msg", "temp.msg", "OLD.MSG"}) {
            EXPECT_FALSE(c.folder.exists(name)) << name;
        }
        EXPECT_TRUE(c.folder.exists("notes.txt"));
        std::string shown;
        for (const auto& line : c.host.logEntries()) {
            shown += line + "|";
        }
        const std::string rule(57, '-');
        EXPECT_EQ(shown, rule + "|STATISTICS|" + rule +
                             "|Vorel Processed  : 7 Emails|Autoresponders  : 3|"
                             "Subscriptions     : 1|Unsubscriptions  : 4|Anti-Spam Filter :2|" +
                             rule + "| |");
        EXPECT_EQ(occurrences(c.folder.read("log.txt"), "\r\n"), 10);
    }
}

// ------------------------------------------------------------ what goes out

TEST(SendStep, FileReferencesSendOnlyMessageFilesOfTheFolder) {
    SmtpServer smtp;
    Closing c(&smtp);
    // A forwarded message as the mail component saves it.
    c.folder.write(
        "1.msg",
        "From: Carol <carol@pop.example>\r\nTo: desk@pop.example\r\nSubject: Order 77\r\n"
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
        "--b1\r\nContent-Type: text/plain\r\n\r\nPlease send the catalogue.\r\n"
        "--b1\r\nContent-Type: application/octet-stream; name=\"order.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nAAECAwQFBgcICQoLDA0ODw==\r\n--b1--\r\n");
    const std::string saved = messageFilePath(c.folder.path(), "1");
    const std::string missing = messageFilePath(c.folder.path(), "7");
    c.queue({reply(1, "~" + saved), reply(2, "~/etc/hostname"), reply(3, "~" + missing)});
    c.run();

    auto got = smtp.received();
    ASSERT_EQ(recipients(got), (std::vector<std::string>{"r1@dest.example", "r2@dest.example"}));
    // The forward arrives whole, under the record's addressing.
    EXPECT_NE(got[0].data.find("Please send the catalogue."), std::string::npos);
    EXPECT_NE(got[0].data.find("AAECAwQFBgcICQoLDA0ODw=="), std::string::npos);
    EXPECT_EQ(header(got[0].data, "Subject").rfind("Reply 1", 0), 0u);
    // A path outside the folder is just text.
    EXPECT_NE(bodyOf(got[1].data).find("~/etc/hostname"), std::string::npos);
    EXPECT_EQ(c.queueLeft(), queueBytes({reply(3, "~" + missing)}));
    EXPECT_TRUE(c.folder.exists("1.msg"));
}

// ------------------------------------------------------------ the log e-mail

TEST(SendStep, LogIsMailedInPiecesOf600Then601Lines) {
    struct Case {
        int lines;
        std::vector<int> pieces;
    };
    for (const Case& tc : {Case{600, {600, 0}}, Case{1250, {600, 601, 49}}, Case{5, {5}}}) {
        SCOPED_TRACE(tc.lines);
        SmtpServer smtp;
        Closing c(&smtp);
        c.state.settings.txtEMAILLOG = "me@log.example";
        std::string log;
        for (int i = 1; i <= tc.lines; ++i) {
            log += "01/01/2026 00:00:00 old entry " + std::to_string(i) + "\r\n";
        }
        c.folder.write("log.txt", log);
        c.state.settings.chkLOG = tc.lines == 5 ? "0" : "1";
        c.run();

        auto got = smtp.received();
        ASSERT_EQ(got.size(), tc.pieces.size());
        int next = 1;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(header(got[i].data, "Subject"), "*** Email Log from VOREL Software ***");
            std::string body = bodyOf(got[i].data);
            EXPECT_EQ(occurrences(body, " old entry "), tc.pieces[i]);
            EXPECT_EQ(body.find("Continuation of Log.....\r\n\r\n") == 0, i > 0) << body;
            if (tc.pieces[i] > 0) {
                EXPECT_NE(body.find(" old entry " + std::to_string(next) + "\r\n"),
                          std::string::npos);
            }
            next += tc.pieces[i];
        }
        EXPECT_FALSE(c.folder.exists("log.txt"));
        EXPECT_TRUE(c.host.hasLogEntry("Vorel Processed  : 0 Emails"));
    }
}

TEST(SendStep, LogIsKeptWhenItsMailIsRefused) {
    SmtpServer smtp(refusing("me@log.example"));
    Closing c(&smtp);
    c.state.settings.chkLOG = "0";
    c.state.settings.txtEMAILLOG = "me@log.example";
    const std::string log = "01/01/2026 00:00:00 keep me\r\n";
    c.folder.write("log.txt", log);
    c.folder.write("1.msg", "saved");
    c.run();
    EXPECT_TRUE(smtp.received().empty());
    EXPECT_EQ(c.folder.read("log.txt"), log);
    EXPECT_EQ(c.host.countLogContaining("Message FAILED"), 1);
    EXPECT_TRUE(c.folder.exists("1.msg"));  // a failed send keeps the message files
}

// ------------------------------------------------------------ closing steps

TEST(SendStep, EndProgramStartsDetachedAndLeavesNoChild) {
    struct Case {
        std::string command;
        bool marker;
    };
    Closing c;
    const std::string marker = c.folder.file("ran it");
    for (const Case& tc : {Case{"touch '" + marker + "'", true},
                           Case{"C:\\pmail\\winpm-32.exe", false}, Case{"", false}}) {
        SCOPED_TRACE(tc.command);
        c.host.setOnLogEntry({});
        const std::size_t logBefore = c.host.logEntries().size();
        c.state.settings.txtRUNPROGRAM = tc.command;
        startEndProgram(c.ctx);
        EXPECT_EQ(c.host.logEntries().size(), logBefore);
        if (!tc.command.empty()) {
            EXPECT_EQ(c.host.statuses().back(), "Calling " + tc.command);
        }
        if (tc.marker) {
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!c.folder.exists("ran it") && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            EXPECT_TRUE(c.folder.exists("ran it"));
        }
        // The program is not our child: nothing to wait for, nothing left over.
        int status = 0;
        errno = 0;
        EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
}

// ------------------------------------------------------------ whole runs

std::string bodyText(const SmtpServer::Received& m) {
    std::string body = bodyOf(m.data);
    // Lines may be folded by the wire form: compare on one line.
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body.compare(i, 3, "=\r\n") == 0) {
            i += 2;
        } else {
            out += body[i];
        }
    }
    return out;
}

TEST(SendStep, FullRunAnswersEveryKindOfMessage) {
    PopServer pop;
    pop.addMessage(
        "From: Dana Buyer <dana@customer.example>\nTo: info@shop.example\n"
        "Subject: Price list please\n\nHello, please send your price list.\n\n"
        "%vorelcode%\nname=Dana\ncompany=Acme Ltd\n");
    pop.addMessage(
        "From: Eve Reader <eve@reader.example>\nTo: join-news@shop.example\n"
        "Subject: subscribe\n\nPlease add me.\n");
    pop.addMessage(
        "From: Frank Member <frank@member.example>\nTo: news@shop.example\n"
        "Subject: Meeting on Friday\n\nThe next meeting is on Friday at ten.\n");
    pop.addMessage(
        "From: Cheap Offers <offers@spam.example>\nTo: info@shop.example\n"
        "Subject: You have won\n\nClick here.\n");
    pop.addMessage(
        "From: frank@member.example\nTo: leave-news@shop.example\nSubject: bye\n\nBye.\n");
    SmtpServer smtp;
    TempFolder folder;
    Settings settings;
    settings.txtPOP = pop.host() + ":" + std::to_string(pop.port());
    settings.txtSMTP = smtpHost(smtp);
    settings.txtUSERID = pop.user();
    settings.txtPASSWORD = pop.password();
    settings.txtRUNPROGRAM.clear();
    writeSettings(folder.path(), settings);
    folder.write("antispam.lst", "offers@spam.example\t\t\r\n");
    const std::string dbPath = folder.file("data.mdb");
    Database::createIfMissing(dbPath);
    Database::upgradeSchema(dbPath);
    {
        Database db = Database::open(dbPath);
        Autoresponder a;
        a.Name = "PRICES";
        a.To = "info@shop.example";
        a.Subject = "price list";
        a.msgfrom = "sales@shop.example";
        a.msgsubject = "Our price list";
        a.message = "Dear %name% of %company%, written %date% %time% to %email%. ";
        a.mailto = "manager@shop.example";
        db.addAutoresponder(a);
        MailingList l;
        l.Name = "NEWS";
        l.textTOADD = "-- NEWS list footer";
        l.subscribefrom = l.unsubscribefrom = l.sendtolistfrom = "news@shop.example";
        l.subscribesubject = "Welcome to NEWS";
        l.subscribemessage = "Welcome, %email%!";
        l.unsubscribesubject = "Goodbye from NEWS";
        l.unsubscribemessage = "You have left %email%.";
        l.onsubscribeto = "join-news@shop.example";
        l.onunsubscribeto = "leave-news@shop.example";
        db.addList(l);
        db.addMember({0, "NEWS", "frank@member.example", ""});
    }

    RecordingHost host;
    FixedClock clock;
    CurlMailComponent mail;
    MailRun run(folder.path(), host, mail, clock);
    ASSERT_TRUE(run.doRunMail()) << host.logText();

    auto got = smtp.received();
    auto find = [&got](const std::string& rcpt, const std::string& subject) {
        for (const auto& m : got) {
            if (m.rcptTo.front() == rcpt && header(m.data, "Subject").rfind(subject, 0) == 0) {
                return bodyText(m);
            }
        }
        ADD_FAILURE() << "nothing to " << rcpt << " with subject " << subject;
        return std::string();
    };
    EXPECT_NE(find("dana@customer.example", "Our price list")
                  .find("Dear Dana of Acme Ltd, written 05 December 2026 12:34:56 to "
                        "dana@customer.example."),
              std::string::npos);
    EXPECT_NE(find("manager@shop.example", "(VOREL FWD) Originally From: ")
                  .find("Hello, please send your price list."),
              std::string::npos);
    EXPECT_NE(find("eve@reader.example", "Welcome to NEWS").find("Welcome, eve@reader.example!"),
              std::string::npos);
    for (const char* member : {"frank@member.example", "eve@reader.example"}) {
        std::string copy = find(member, "Meeting on Friday");
        EXPECT_NE(copy.find("The next meeting is on Friday at ten.\r\n\r\n-- NEWS list footer"),
                  std::string::npos)
            << copy;
    }
    EXPECT_NE(find("frank@member.example", "Goodbye from NEWS").find("You have left %email%."),
              std::string::npos);
    EXPECT_EQ(got.size(), 6u);

    EXPECT_EQ(pop.messageCount(), 0u);
    EXPECT_FALSE(folder.exists(kQueueFile));
    EXPECT_FALSE(folder.exists("1.msg"));
    EXPECT_FALSE(folder.exists("temp.msg"));
    for (const char* line :
         {"Vorel Processed  : 5 Emails", "Autoresponders  : 1", "Subscriptions     : 1",
          "Unsubscriptions  : 1", "Anti-Spam Filter :1"}) {
        EXPECT_TRUE(host.hasLogEntry(line)) << line << "\n" << host.logText();
    }
    Database db = Database::open(dbPath);
    auto members = db.members("NEWS");
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].Email, "eve@reader.example");
}

}  // namespace
}  // namespace vorel
