#include "mail/PostCheck.h"

#include <ctime>
#include <map>
#include <stdexcept>

#include "base/Clock.h"
#include "base/TextCompare.h"
#include "core/MailComponent.h"
#include "core/Reporter.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "mail/Address.h"
#include "mail/Outbound.h"
#include "mail/Subscriptions.h"
#include "store/PostingTrust.h"
#include "store/Settings.h"
#include "store/Transaction.h"

namespace vorel {

namespace {

const char* routeWords(PostRoute route) {
    switch (route) {
        case PostRoute::AskMember:
            return "waiting for the member";
        case PostRoute::NonMember:
            return "from a non-member";
        default:
            return "held for the owner";
    }
}

std::string sizeText(std::size_t bytes) {
    if (bytes < 1024) {
        return std::to_string(bytes) + " bytes";
    }
    return std::to_string((bytes + 1023) / 1024) + " KB";
}

// The post's copies to every member not held for bounces; how many.
std::size_t queueCopies(Database& db, const MailingList& list, const HeldPost& post,
                        std::int64_t now, const std::function<void(const QueueRecord&)>& queue) {
    QueueRecord copy{"", post.copyFrom, post.Subject, post.Body};
    std::size_t n = 0;
    db.forEachMember(list.Name, [&](const Member& member) {
        if (!isHeld(member, now / 86400)) {
            copy.to = member.Email;
            queue(copy);
            ++n;
        }
    });
    return n;
}

// A log line from outside a run (the owner's decision), as a run writes it.
class QuietHost : public RunHost {
public:
    void setStatus(const std::string&) override {}
    void addLogEntry(const std::string&) override {}
    void addDebugLine(const std::string&) override {}
    void clearDebugLines() override {}
    void setDebugModeBox(bool) override {}
    void showMessage(const std::string&) override {}
    bool askYesNo(const std::string&) override { return false; }
    RunRequests yield() override { return {}; }
};

void logLine(const std::string& folder, const Clock& clock, const std::string& text) {
    QuietHost host;
    Reporter report(folder, host, clock);
    Settings s;
    if (readSettingsLines(folder, s)) {
        report.setLogSetting(s.chkLOG);
    }
    report.addLogLine(text);
}

HeldPost heldOrThrow(Database& db, const std::string& listName, std::int64_t id) {
    std::optional<HeldPost> post = HeldPosts(db).find(listName, id);
    if (!post) {
        throw std::runtime_error("No held post " + std::to_string(id) + " in " + listName);
    }
    return *post;
}

}  // namespace

PostVerdict providerVerdict(const std::string& folder, const MailComponent& mail,
                            const std::string& fromAddress) {
    const PostingTrust trust = readPostingTrust(folder);
    return judgeAuthResults(mail.headerFields("Authentication-Results", kAuthFieldsRead),
                            fromAddress, trust.authservId, trust.topmostIsProvider);
}

PostRoute routePost(RunContext& ctx, const MailingList& list, const std::string& fromAddress,
                    bool member) {
    if (!member) {
        return list.holdnonmembers ? PostRoute::NonMember : PostRoute::Ignore;
    }
    if (list.postcheck == 0) {
        return PostRoute::Copy;
    }
    if (list.postcheck == 2) {
        return PostRoute::Owner;
    }
    const PostVerdict v = providerVerdict(ctx.folder, ctx.mail, fromAddress);
    ctx.report.addLogLine("Post from " + fromAddress + " to " + list.Name + ": " + v.why);
    if (v.vouched) {
        return PostRoute::Copy;
    }
    // A request to a From of several addresses would mail all of them.
    return isOneAddress(fromAddress) ? PostRoute::AskMember : PostRoute::Owner;
}

void keepPost(RunContext& ctx, const MailingList& list, const std::string& fromAddress,
              const QueueRecord& copy, PostRoute route) {
    if (copy.body.size() > kHeldPostLimit) {
        ctx.report.addLogLine("Email Address " + fromAddress + " Post to " + list.Name +
                              " too large to keep, dropped");
        return;
    }
    HeldPost p;
    p.list = list.Name;
    p.Email = fromAddress;
    p.copyFrom = copy.from;
    p.Subject = copy.subject;
    p.Body = copy.body;
    p.Kept = epochSeconds(ctx.clock.now());
    p.why = route == PostRoute::AskMember   ? HeldWhy::Member
            : route == PostRoute::NonMember ? HeldWhy::NonMember
                                            : HeldWhy::Owner;
    if (!ctx.state.db) {
        throw std::runtime_error("the database is not open");
    }
    HeldPosts(*ctx.state.db).add(p);
    ctx.report.addLogLine("Email Address " + fromAddress + " Post to " + list.Name +
                          " kept: " + routeWords(route));
}

std::string confirmHeldPost(RunContext& ctx, const MailingList& list, const HeldPost& post,
                            const std::string& fromAddress,
                            const std::function<void(const QueueRecord&)>& queue) {
    if (!sameText(post.Email, fromAddress)) {
        return "the token was sent to another address";
    }
    const std::int64_t now = epochSeconds(ctx.clock.now());
    if (!stillPending(post.Asked, now)) {
        return "the token has expired";
    }
    Database& db = *ctx.state.db;
    db.releaseMember(list.Name, fromAddress);  // the member's own act
    const std::size_t n = queueCopies(db, list, post, now, queue);
    HeldPosts(db).remove(post.id);
    ctx.report.addLogLine("Email Address " + fromAddress + " Confirmed a post into " + list.Name +
                          ": " + std::to_string(n) + " copies");
    return {};
}

void afterPosts(RunContext& ctx) {
    Database& db = *ctx.state.db;
    HeldPosts held(db);
    const std::int64_t now = epochSeconds(ctx.clock.now());
    const std::int64_t expired = held.removeBefore(now - kHeldDays * 86400);
    if (expired > 0) {
        ctx.report.addLogLine(std::to_string(expired) + " held posts expired (kept " +
                              std::to_string(kHeldDays) + " days without approval)");
    }
    std::map<std::string, MailingList> lists;
    for (const MailingList& l : ctx.state.listRows ? *ctx.state.listRows : db.lists()) {
        lists.emplace(lowerCase(l.Name), l);
    }
    // One request out per member and list; later posts wait behind it.
    constexpr std::size_t kLookedAt = 1000;
    for (const HeldPost& post : held.notAsked(kLookedAt)) {
        if (ctx.state.counters.postConfirmations >= kPostConfirmationsPerRun) {
            return;
        }
        const auto list = lists.find(lowerCase(post.list));
        bool out = list == lists.end();
        for (const HeldPost& other : held.waitingOf(post.list, post.Email)) {
            out = out || (other.Asked != 0 && stillPending(other.Asked, now));
        }
        if (out) {
            continue;
        }
        HeldPost asked = post;
        asked.Token = newConfirmToken();
        asked.Asked = now;
        Transaction t(db);
        held.asked(post.id, asked.Token, now);
        queueNoted(db, ctx.folder, postConfirmationRecord(list->second, asked),
                   OutboundKind::AutoReply);
        t.commit();
        ++ctx.state.counters.postConfirmations;
        ctx.report.addLogLine("Email Address " + post.Email + " Asked to confirm a post into " +
                              post.list);
    }
}

QueueRecord postConfirmationRecord(const MailingList& list, const HeldPost& post) {
    const std::string from = isValidEmail(extractAddresses(list.sendtolistfrom))
                                 ? list.sendtolistfrom
                                 : list.subscribefrom;
    const std::string body = "Reply to this message to send your post of " +
                             heldDateText(post.Kept) + " (" + sizeText(post.Body.size()) + ") to " +
                             list.Name +
                             ".\r\n\r\n"
                             "If you did not send it, do nothing: it is not sent to the list. "
                             "The request expires in 72 hours.\r\n";
    return QueueRecord{post.Email, from,
                       "Your post to " + list.Name + " [confirm " + post.Token + "]", body};
}

std::string heldWhyText(const HeldPost& post, std::int64_t now) {
    if (post.why == HeldWhy::NonMember) {
        return "from a non-member";
    }
    if (post.why == HeldWhy::Member && (post.Asked == 0 || stillPending(post.Asked, now))) {
        return "waiting for the member";
    }
    return "held for the owner";
}

std::string heldDateText(std::int64_t when) {
    return minuteText(when);
}

std::size_t approveHeldPost(Database& db, const std::string& folder, const std::string& listName,
                            std::int64_t id, const Clock& clock) {
    const HeldPost post = heldOrThrow(db, listName, id);
    const std::optional<MailingList> list = db.findList(listName);
    if (!list) {
        throw std::runtime_error("No list " + listName);
    }
    // The copies' notes and the post's removal are one transaction, committed
    // once the copies are in the queue: a failure leaves the post held.
    QueueBatch batch(folder);
    Transaction t(db);
    const std::size_t n =
        queueCopies(db, *list, post, epochSeconds(clock.now()), [&](const QueueRecord& r) {
            queueNoted(&db, batch, r, OutboundKind::ListCopy, list->Name);
        });
    HeldPosts(db).remove(id);
    batch.flush();
    t.commit();
    logLine(folder, clock,
            "Held post " + std::to_string(id) + " from " + post.Email + " approved into " +
                list->Name + ": " + std::to_string(n) + " copies queued");
    return n;
}

void rejectHeldPost(Database& db, const std::string& folder, const std::string& listName,
                    std::int64_t id, const Clock& clock) {
    const HeldPost post = heldOrThrow(db, listName, id);
    HeldPosts(db).remove(id);
    logLine(folder, clock,
            "Held post " + std::to_string(id) + " from " + post.Email + " to " + listName +
                " rejected");
}

}  // namespace vorel
