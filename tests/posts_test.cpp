// Who may post: Authentication-Results, the member's confirmation, posts held for the owner.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "forms/HeldPostsForm.h"
#include "mail/AuthResults.h"
#include "mail/Subscriptions.h"
#include "net/FileMailComponent.h"
#include "net/Mime.h"
#include "run/DryRun.h"
#include "store/HeldPosts.h"
#include "store/PostingTrust.h"
#include "support/RunFolder.h"

namespace vorel {
namespace {

using Lines = std::vector<std::string>;

TEST(AuthResults, OnlyTheTrustedTopMostFieldVouches) {
    const std::string dkim = "mx.me.example; dkim=pass header.d=x.example", a = "a@x.example";
    struct Case {
        const char* name;
        Lines fields;  // top-most first
        std::string from;
        bool topmost, vouched;
    };
    const Case cases[] = {
        {"dkim of the From domain", {dkim}, a, false, true},
        {"dmarc, id in another case, a version after it, comments",
         {"MX.Me.Example 1; spf=pass (ok) smtp.mailfrom=x.example; dmarc=pass (p=reject) "
          "header.from=\"X.example\""},
         a,
         false,
         true},
        {"a forged pass with the same id below the provider's fail",
         {"mx.me.example; dmarc=fail header.from=x.example",
          "mx.me.example; dmarc=pass header.from=x.example"},
         a,
         false,
         false},
        {"another id only", {"evil.example; dkim=pass header.d=x.example"}, a, false, false},
        {"dmarc=fail beside an aligned dkim pass",
         {dkim + "; dmarc=fail header.from=x.example"},
         a,
         false,
         false},
        {"dkim for another domain",
         {"mx.me.example; dkim=pass header.d=evil.example"},
         a,
         false,
         false},
        {"spf alone", {"mx.me.example; spf=pass smtp.mailfrom=x.example"}, a, false, false},
        {"header.i's domain", {"mx.me.example; dkim=pass header.i=@x.example"}, a, false, true},
        {"a parent at a label boundary", {dkim}, "a@mail.x.example", false, true},
        {"not at a label boundary", {dkim}, "a@evilx.example", false, false},
        {"a bare top label", {"mx.me.example; dkim=pass header.d=example"}, a, false, false},
        {"the provider's field cannot be read", {dkim + " (open", dkim}, a, false, false},
        {"too long", {dkim + "; x=" + std::string(kAuthFieldBytes, 'x')}, a, false, false},
        {"the top-most field whatever its id",
         {"mx.other.example; dkim=pass header.d=x.example", "mx.me.example; none"},
         a,
         true,
         true},
        {"the top-most field says none", {"mx.me.example; none"}, a, true, false},
        {"no field", {}, a, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PostVerdict v = judgeAuthResults(c.fields, c.from, "mx.me.example", c.topmost);
        EXPECT_EQ(v.vouched, c.vouched) << v.why;
    }
    EXPECT_FALSE(judgeAuthResults({dkim}, a, "", false).vouched);
}

std::string authResults(const std::string& value) {
    return "Authentication-Results: " + value + "\n";
}
const std::string kReceived =
    "Received: from mail.evil.example by mx.me.example; Sun, 6 Dec 2026 07:00:00 +0000\n";

std::string message(const std::string& from, const std::string& subject,
                    const std::string& fields = "", const std::string& to = "news@me.example") {
    return fields + "From: " + from + "\nTo: " + to + "\nSubject: " + subject + "\n\nHello.\n";
}

struct PostsTest : ::testing::Test, test::ServedFolder {
    PostsTest() {
        s.chkLEAVE = "0";
        writePostingTrust(folder.path(), {"mx.me.example", false});
        MailingList l;
        l.Name = "NEWS";
        l.Type = 1;
        l.sendtolistfrom = "news@me.example";
        l.subscribefrom = "news@me.example";
        l.textTOADD = "-- NEWS";
        Database d = db();
        d.addList(l);
        for (const char* m : {"ann@x.example", "bob@y.example", "cat@z.example"}) {
            d.addMember({0, "NEWS", m, ""});
        }
    }
    // `vorel COMMAND --folder ...`: exit status, a blank, then what it said.
    std::string vorel(const std::string& command) {
        return test::runVorel(command + " --folder '" + folder.path() + "'");
    }
    std::vector<HeldPost> held() {
        Database d = db();
        return HeldPosts(d).of("NEWS");
    }
};

Lines recipients(const Lines& sent) {
    Lines r;
    for (const std::string& s : sent) {
        r.push_back(s.substr(0, s.find('|')));
    }
    return r;
}

// A vouched post goes at once; a forged one waits for its From's reply, not a stranger's/robot's.
TEST_F(PostsTest, VouchedAtOnceOthersOnlyWhenTheMemberConfirms) {
    VOREL_SKIP_UNLESS_ROOT();
    pop.addMessage(message("Ann <ann@x.example>", "Hello all",
                           authResults("mx.me.example;\n dkim=pass header.d=x.example;\n "
                                       "dmarc=pass header.from=x.example")));
    const std::string forged =
        message("bob@y.example", "Buy pills at http://evil.test",
                authResults("mx.me.example; spf=pass smtp.mailfrom=evil.example; dmarc=fail "
                            "header.from=y.example") +
                    kReceived + authResults("mx.me.example; dmarc=pass header.from=y.example") +
                    authResults("evil.example; dkim=pass header.d=y.example"));
    const std::string verdict =
        "Post from bob@y.example to NEWS: not verified by mx.me.example for y.example: spf=pass, "
        "dmarc=fail";
    {
        FileMailComponent file(forged);
        const DryRunResult dry = dryRun(folder.path(), file, clock);
        EXPECT_EQ(std::count(dry.log.begin(), dry.log.end(), verdict), 1) << dry.log.size();
    }
    pop.addMessage(forged);
    pop.addMessage(message("bob@y.example", "Second",
                           authResults("mx.me.example; spf=pass smtp.mailfrom=y.example")));
    pop.addMessage(message("dave@w.example", "From a stranger"));
    Lines sent = runAndCollect();
    ASSERT_EQ(sent.size(), 4u) << host.logText();
    EXPECT_EQ(recipients(sent),
              (Lines{"ann@x.example", "bob@y.example", "cat@z.example", "bob@y.example"}));
    EXPECT_EQ(sent[0].substr(sent[0].find('|')), "|Hello all|Hello.\r\n\r\n-- NEWS\r\n");
    const std::string token = confirmTokenIn(sent[3]);
    ASSERT_EQ(token.size(), 32u) << sent[3];
    EXPECT_EQ(sent[3].substr(0, sent[3].find('|', 14)),
              "bob@y.example|Your post to NEWS [confirm " + token + "]");
    for (const char* theirs : {"pills", "evil", "Hello."}) {
        EXPECT_EQ(sent[3].find(theirs), std::string::npos) << theirs;
    }
    EXPECT_NE(sent[3].find("Reply to this message to send your post of "), std::string::npos);
    EXPECT_TRUE(host.hasLogEntry(verdict)) << host.logText();
    EXPECT_EQ(held().size(), 2u);
    EXPECT_EQ(pop.messageCount(), 1u);  // kept posts go as any acted on; the stranger's stays

    // A stranger with the token, and Bob's vacation reply quoting it.
    pop.addMessage(message("eve@x.example", "Re: Your post to NEWS [confirm " + token + "]"));
    pop.addMessage(message("bob@y.example",
                           "Out of office: Re: Your post to NEWS [confirm " + token + "]",
                           "Auto-Submitted: auto-replied\n"));
    EXPECT_EQ(runAndCollect(), Lines{});
    EXPECT_TRUE(host.hasLogEntry(
        "Email Address eve@x.example Confirmation refused: the token was sent to another address"));
    EXPECT_EQ(held().size(), 2u);

    // Bob's reply: the copies as they would have gone, then the next request.
    pop.addMessage(message("bob@y.example", "Re: Your post to NEWS [confirm " + token + "]"));
    sent = runAndCollect();
    ASSERT_EQ(sent.size(), 4u) << host.logText();
    EXPECT_EQ(sent[2], "cat@z.example|Buy pills at http://evil.test|Hello.\r\n\r\n-- NEWS\r\n");
    EXPECT_EQ(confirmTokenIn(sent[3]).size(), 32u);
    EXPECT_NE(confirmTokenIn(sent[3]), token);
    pop.addMessage(message("bob@y.example", "Re: [confirm " + token + "]"));
    EXPECT_EQ(runAndCollect(), Lines{});  // once only

    // Headless: the list, an unknown ID, a rejection.
    const std::vector<HeldPost> left = held();
    ASSERT_EQ(left.size(), 1u);
    const std::string id = std::to_string(left[0].id);
    std::string said = vorel("held NEWS");
    EXPECT_EQ(said.substr(0, said.find('\t', id.size() + 3)), "0 " + id + "\tbob@y.example")
        << said;
    EXPECT_NE(said.find("\tSecond\t"), std::string::npos) << said;
    EXPECT_NE(said.find("\twaiting for the member\n"), std::string::npos) << said;
    said = vorel("approve NEWS 999");
    EXPECT_EQ(said.rfind("1 ", 0), 0u);
    EXPECT_NE(said.find("No held post 999 in NEWS"), std::string::npos) << said;
    EXPECT_EQ(vorel("reject NEWS " + id).substr(0, 2), "0 ");
    EXPECT_TRUE(held().empty());
    EXPECT_NE(test::readFile(folder.file("log.txt")).find(" rejected"), std::string::npos);
}

// Held for the owner (non-members too): approval sends the copies, the rest expire after 7 days.
TEST_F(PostsTest, HeldForTheOwnerApprovedOrExpired) {
    VOREL_SKIP_UNLESS_ROOT();
    {
        Database d = db();
        MailingList l = d.findList("NEWS").value();
        l.postcheck = 2;
        l.holdnonmembers = true;
        d.updateList(l);
    }
    pop.addMessage(message("ann@x.example", "Verified but held",
                           authResults("mx.me.example; dkim=pass header.d=x.example")));
    pop.addMessage(message("dave@w.example", "From a stranger"));
    EXPECT_EQ(runAndCollect(), Lines{});
    Database d = db();
    const std::vector<HeldRow> rows = heldRows(d, "NEWS", epochSeconds(clock.now()));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].why, "held for the owner");
    EXPECT_EQ(rows[1].why, "from a non-member");
    EXPECT_TRUE(approveHeld(d, folder.path(), "NEWS", rows[0].id, clock).ok);
    EXPECT_FALSE(approveHeld(d, folder.path(), "NEWS", rows[0].id, clock).ok);
    EXPECT_EQ(recipients(runAndCollect()),
              (Lines{"ann@x.example", "bob@y.example", "cat@z.example"}));

    clock.t.day += 8;
    EXPECT_EQ(runAndCollect(), Lines{});
    EXPECT_TRUE(host.hasLogEntry("1 held posts expired (kept 7 days without approval)"))
        << host.logText();
    EXPECT_TRUE(held().empty());
}

}  // namespace
}  // namespace vorel
