// What `vorel try` says of a message is what a mail run over the same folder does with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
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

// Addresses stored in one form (A-label or Unicode) that arrive in the other.
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

// to|subject of each message sent from the nth on; the sending step ends a Subject with a blank.
Lines sentSince(const test::FakeMailComponent& mail, std::size_t n = 0) {
    Lines sent;
    for (; n < mail.sent().size(); ++n) {
        const OutgoingMessage& m = mail.sent()[n];
        sent.push_back(m.to + "|" + m.subject.substr(0, m.subject.find_last_not_of(' ') + 1));
    }
    return sorted(sent);
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
        Lines queued;
        for (const DryRunResult::Queued& q : dry.queued) {
            queued.push_back(q.record.to + "|" + q.record.subject);
        }
        EXPECT_EQ(sorted(queued), sentSince(mail));
    }
}

// The local time zone of a test (restored after it, unset if it was): periods are local time.
struct LocalZone {
    const bool had = std::getenv("TZ") != nullptr;
    const std::string was = had ? std::getenv("TZ") : "";
    explicit LocalZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    ~LocalZone() {
        had ? setenv("TZ", was.c_str(), 1) : unsetenv("TZ");
        tzset();
    }
};

// Active periods and one reply a sender in 7 days, judged by arrival at UTC+1, preview and run.
TEST(DryRun, ActivePeriodAndOneReplyPerSender) {
    LocalZone zone("CET-1");
    test::RunFolder f;
    {
        Database db = f.db();
        Autoresponder away = test::replyRule("AWAY", "away@shop.example", "Back soon");
        away.activefrom = "2026-12-20 09:00:00";
        away.activeuntil = "2026-12-27 09:00:00";
        Autoresponder once = test::replyRule("ONCE", "once@shop.example", "Noted");
        once.mailto = "boss@shop.example";
        once.replydays = 7;
        for (const Autoresponder& a :
             {away, once, test::replyRule("PLAIN", "plain@shop.example", "Prices")}) {
            db.addAutoresponder(a);
        }
    }
    const std::string reply = "|Re: your mail";
    const std::string held =
        "matches (To); already answered on 2026-12-01 10:00:00; next reply "
        "after 2026-12-08 10:00:00";
    struct Step {
        LocalTime clock;
        const char *from, *to, *header;  // header: Received and Date fields
        std::string why;                 // the preview's words for the row addressed
        Lines sent;                      // to|subject of what the run sends
    };
    const std::string fwd = "boss@shop.example|(VOREL FWD) Originally From: ";
    // clang-format off
    const Step steps[] = {
        {{2026, 12, 1, 10, 0, 0}, "ann@x.example", "once@shop.example", "", "matches (To)",
         {"ann@x.example" + reply, fwd + "ann@x.example hi"}},
        {{2026, 12, 2, 10, 0, 0}, "ann@x.example", "once@shop.example", "", held,
         {fwd + "ann@x.example hi"}},
        {{2026, 12, 2, 10, 0, 0}, "bob@x.example", "once@shop.example", "", "matches (To)",
         {"bob@x.example" + reply, fwd + "bob@x.example hi"}},
        {{2026, 12, 8, 9, 59, 59}, "ANN@x.example", "once@shop.example", "", held,
         {fwd + "ANN@x.example hi"}},
        {{2026, 12, 8, 10, 0, 0}, "ann@x.example", "once@shop.example", "", "matches (To)",
         {"ann@x.example" + reply, fwd + "ann@x.example hi"}},
        // Without the fields every message is answered.
        {{2026, 12, 8, 10, 0, 0}, "ann@x.example", "plain@shop.example", "", "matches (To)",
         {"ann@x.example" + reply}},
        {{2026, 12, 8, 10, 0, 0}, "ann@x.example", "plain@shop.example", "", "matches (To)",
         {"ann@x.example" + reply}},
        // The top-most Received stands for the arrival: a second before the period.
        {{2026, 12, 26, 12, 0, 0}, "cy@x.example", "away@shop.example",
         "Received: by mx.example; Sun, 20 Dec 2026 07:59:59 +0000\r\n"
         "Date: Sun, 20 Dec 2026 09:30:00 +0100\r\n",
         "does not match: not active until 2026-12-20 09:00:00 (the message arrived "
         "2026-12-20 08:59:59)", {}},
        {{2026, 12, 26, 12, 0, 0}, "di@x.example", "away@shop.example",
         "Received: from a by mx.example; Sun, 20 Dec 2026 08:00:00 +0000\r\n"
         "Received: from b by a; Sat, 19 Dec 2026 08:00:00 +0000\r\n"
         "Date: Sat, 19 Dec 2026 08:00:00 +0000\r\n",
         "matches (To)", {"di@x.example" + reply}},
        // No Received: the Date; neither, or a Date still to come: the clock.
        {{2026, 12, 26, 12, 0, 0}, "fay@x.example", "away@shop.example",
         "Date: Sun, 10 Jan 2027 10:00:00 +0100\r\n", "matches (To)", {"fay@x.example" + reply}},
        {{2026, 12, 28, 10, 0, 0}, "ed@x.example", "away@shop.example",
         "Date: Sun, 27 Dec 2026 08:59:59 +0100\r\n", "matches (To)", {"ed@x.example" + reply}},
        {{2026, 12, 28, 10, 0, 0}, "gus@x.example", "away@shop.example",
         "Date: Sun, 27 Dec 2026 09:00:00 +0100\r\n",
         "does not match: no longer active since 2026-12-27 09:00:00 (the message arrived "
         "2026-12-27 09:00:00)", {}},
        {{2026, 12, 28, 10, 0, 0}, "hal@x.example", "away@shop.example", "",
         "does not match: no longer active since 2026-12-27 09:00:00 (the message arrived "
         "2026-12-28 10:00:00)", {}},
    };
    // clang-format on
    test::FakeMailComponent mail;
    std::size_t sentBefore = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.from) + " to " + step.to + " " + step.header);
        f.clock.t = step.clock;
        const std::string raw = std::string(step.header) + "From: " + step.from +
                                "\r\nTo: " + step.to + "\r\nSubject: hi\r\n\r\nHello\r\n";
        FileMailComponent file(raw);
        const DryRunResult dry = dryRun(f.folder.path(), file, f.clock);
        for (const DryRunResult::Verdict& v : dry.autoresponders) {
            if (v.why.rfind("does not match: To differs", 0) != 0) {
                EXPECT_EQ(v.why, step.why) << v.name;
            }
        }
        mail.addMessage(raw);
        ASSERT_TRUE(f.run(mail)) << f.host.logText();
        EXPECT_EQ(sentSince(mail, sentBefore), sorted(step.sent));
        sentBefore = mail.sent().size();
        for (const std::string& line : dry.log) {
            EXPECT_TRUE(f.host.hasLogEntry(line)) << line;
        }
    }
    EXPECT_TRUE(f.host.hasLogEntry("Autoresponder ONCE not sent to ann@x.example: " +
                                   held.substr(held.find("already"))));
    // All answered or forwarded are gone, the three outside the period stay; forwards count.
    EXPECT_EQ(mail.mailbox().size(), 3u);
    Database db = f.db();
    EXPECT_EQ(db.findAutoresponder("ONCE")->Counter, 5);
    EXPECT_EQ(db.findAutoresponder("AWAY")->Counter, 3);
    // Replies older than the longest period are gone from data.mdb.
    const std::int64_t once = db.findAutoresponder("ONCE")->id;
    EXPECT_FALSE(db.answeredAt(once, "ann@x.example") || db.answeredAt(once, "bob@x.example"));
}

}  // namespace
}  // namespace vorel
