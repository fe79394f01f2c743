// The preview and the run over the same folder and messages: what `vorel try`
// says of a message is what a mail run does with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net/FileMailComponent.h"
#include "run/DryRun.h"
#include "store/AntiSpam.h"
#include "support/FakeMailComponent.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

using Lines = std::vector<std::string>;

// Rows and entries whose addresses are stored in one form and arrive in the
// other (A-labels and Unicode), so the address rules are exercised as well.
void setUp(test::RunFolder& f) {
    Database db = f.db();
    Autoresponder info = test::replyRule("INFO", "info@shop.example", "About us");
    info.Subject = "Price List";
    db.addAutoresponder(info);
    db.addAutoresponder(test::replyRule("SALES", "sales@xn--mnchen-3ya.example", "Prices"));
    MailingList news;
    news.Name = "NEWS";
    news.subscribefrom = "news@shop.example";
    news.subscribesubject = "Welcome";
    news.subscribemessage = "Hi %name%";
    news.onsubscribeto = "join@xn--bcher-kva.example";
    news.confirm = false;
    db.addList(news);
    writeAntiSpamLines(f.folder.path(), {composeAntiSpamLine("spam@bücher.example", "", ""),
                                         composeAntiSpamLine("", "WIN NOW", "")});
    writeSettings(f.folder.path(), f.s);
}

Lines sorted(Lines v) {
    std::sort(v.begin(), v.end());
    return v;
}

TEST(DryRun, SaysWhatTheRunDoes) {
    struct Case {
        const char *name, *from, *to, *subject;
    };
    const Case cases[] = {
        {"spam by From", "Spam@xn--bcher-kva.example", "info@shop.example", "hi"},
        {"spam by Subject", "joe@x.example", "other@shop.example", "win now"},
        {"To in another case", "joe@x.example", "Joe <INFO@Shop.Example>", "hi"},
        {"To in Unicode", "joe@x.example", "sales@münchen.example", "hi"},
        {"Subject", "joe@x.example", "other@shop.example", "PRICE list"},
        {"To and Subject of two rows", "joe@x.example", "sales@xn--mnchen-3ya.example",
         "price list"},
        {"subscribe", "ann@x.example", "join@bücher.example", "hi"},
        {"nothing", "joe@x.example", "other@shop.example", "hi"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string raw = std::string("From: ") + c.from + "\r\nTo: " + c.to +
                                "\r\nSubject: " + c.subject + "\r\n\r\nHello\r\n";
        test::RunFolder f;
        setUp(f);
        FileMailComponent file(raw);
        const DryRunResult dry = dryRun(f.folder.path(), file, f.clock);
        ASSERT_TRUE(dry.databaseError.empty()) << dry.databaseError;

        test::FakeMailComponent mail;
        mail.addMessage(raw);
        ASSERT_TRUE(f.run(mail)) << f.host.logText();

        EXPECT_EQ(dry.spam.has_value(), f.state.antiSpam == 1);
        Lines previewed, answered;
        for (const DryRunResult::Verdict& v : dry.autoresponders) {
            if (v.matches) {
                previewed.push_back(v.name);
            }
        }
        for (const std::string& line : f.host.logEntries()) {
            if (line.rfind("Autoresponder ", 0) == 0) {
                answered.push_back(line.substr(14, line.find(' ', 14) - 14));
            }
        }
        EXPECT_EQ(dry.spam ? Lines{} : previewed, answered);
        for (const std::string& line : dry.log) {
            EXPECT_TRUE(f.host.hasLogEntry(line)) << line;
        }
        Lines queued, sent;
        for (const DryRunResult::Queued& q : dry.queued) {
            queued.push_back(q.record.to + "|" + q.record.subject);
        }
        for (const OutgoingMessage& m : mail.sent()) {
            // The sending step ends a Subject with a blank, as it always has.
            sent.push_back(m.to + "|" + m.subject.substr(0, m.subject.find_last_not_of(' ') + 1));
        }
        EXPECT_EQ(sorted(queued), sorted(sent));
    }
}

}  // namespace
}  // namespace vorel
