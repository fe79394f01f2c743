#include "mail/Processing.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include "base/TextCompare.h"
#include "core/MailComponent.h"
#include "core/Reporter.h"
#include "core/RunState.h"
#include "mail/Address.h"
#include "mail/CopyProof.h"
#include "mail/MergeCodes.h"
#include "mail/MessageHandler.h"
#include "mail/MessageRules.h"
#include "mail/Outbound.h"
#include "mail/PostCheck.h"
#include "mail/Subscriptions.h"
#include "store/Queue.h"

namespace vorel {

Database& MessageHandler::db() {
    if (!ctx_.state.db) {
        throw std::runtime_error("the database is not open");
    }
    return *ctx_.state.db;
}

void MessageHandler::run() {
    if (waitsForNextRun()) {
        return;
    }
    if (isBulkOrAutoReply(ctx_.mail)) {
        ctx_.report.addLogLine("Message from:" + from_ + " Subject: " + subject_ +
                               " is an automatic message, not answered");
    } else {
        autoresponderPass();
    }
    listPass();
}

void MessageHandler::autoresponderPass() {
    if (autoresponders_.empty()) {
        ctx_.report.addLogLine("No Autoresponders setup");
        return;
    }
    ctx_.report.setStatus("Checking Autoresponders");
    const std::int64_t arrival = arrivalTime(ctx_.mail, ctx_.clock);
    for (const Autoresponder& row : autoresponders_) {
        if (autoresponderApplies(row, to_, subject_, arrival)) {
            carryOut(row);
        }
    }
}

bool MessageHandler::senderIsOneAddress() {
    if (isOneAddress(from_)) {
        return true;
    }
    if (!toldNotOne_) {
        toldNotOne_ = true;
        ctx_.report.addLogLine("Message from:" + from_ + " Subject: " + subject_ +
                               " is not from one address, not answered");
    }
    return false;
}

void MessageHandler::carryOut(const Autoresponder& row) {
    if (!senderIsOneAddress()) {
        return;
    }
    // A sender answered within the row's period gets no reply; the message
    // is still forwarded and counted: the forward is about the message.
    const std::int64_t now = epochSeconds(ctx_.clock.now());
    const std::optional<std::int64_t> answered = answeredWithinPeriod(db(), row, from_, now);
    if (!answered) {
        std::string reply = applyMergeCodes(ctx_, row.message);
        if (!trimBlanks(row.message).empty()) {
            queue(QueueRecord{from_, row.msgfrom, row.msgsubject, reply}, OutboundKind::AutoReply);
            if (row.replydays > 0) {
                db().noteAnswered(row.id, from_, now);
            }
        }
    }
    ++ctx_.state.counters.autoresponders;
    changed_ = true;
    if (!row.mailto.empty()) {
        forward(row);
    }
    db().incrementCounter(row.id);
    for (Autoresponder& kept : autoresponders_) {
        if (kept.id == row.id) {
            ++kept.Counter;
        }
    }
    actedOn_ = true;
    if (answered) {
        ctx_.report.addLogLine("Autoresponder " + row.Name + " not sent to " + from_ + ": " +
                               answeredWords(row, *answered));
    } else {
        ctx_.report.addLogLine("Autoresponder " + row.Name + " Message Sent to " + from_);
    }
}

void MessageHandler::fetchWholeMessage() {
    ctx_.report.setStatus("Reading Message " + number_ + " for forwarding");
    ctx_.mail.fetchMessage();
}

void MessageHandler::restoreHeaderValues() {
    ctx_.mail.setFrom(from_);
    ctx_.mail.setTo(to_);
    ctx_.mail.setSubject(subject_);
}

void MessageHandler::forward(const Autoresponder& row) {
    std::string n = nextMessageFileName(ctx_.folder);
    fetchWholeMessage();
    if (ctx_.mail.subject().empty()) {
        ctx_.mail.setSubject("(No Subject)");
    }
    std::string path = messageFilePath(ctx_.folder, n);
    ctx_.mail.saveMessageFile(path);
    batch_.add(
        QueueRecord{row.mailto, row.msgfrom,
                    "(VOREL FWD) Originally From: " + ctx_.mail.from() + " " + ctx_.mail.subject(),
                    "~" + path});
    restoreHeaderValues();
}

void MessageHandler::listPass() {
    if (lists_.empty()) {
        ctx_.report.addLogLine("No mailling lists set up!");
        return;
    }
    ctx_.report.setStatus("Checking Mailing lists");
    // A message that carries a token is its confirmation, never a new request
    // nor a post (a reply to the confirmation may go to the posting address).
    const std::string token = confirmTokenIn(subject_);
    if (!token.empty()) {
        confirm(token);
    }
    for (const MailingList& list : lists_) {
        if (token.empty()) {
            subscribe(list);
        }
        unsubscribe(list);
        if (token.empty()) {
            post(list);
        }
        ctx_.report.setStatus("Checked maillist " + list.Name);
    }
}

bool MessageHandler::subscribeRequest(const MailingList& list) const {
    return static_cast<bool>(asksToJoin(list, to_, subject_));
}

void MessageHandler::subscribe(const MailingList& list) {
    if (!subscribeRequest(list) || list.subscribemessage.empty()) {
        return;
    }
    if (automatic(list, "a subscribe request")) {
        return;
    }
    db().releaseMember(list.Name, from_);  // a held member asks again
    if (list.confirm) {
        askToConfirm(list);
        return;
    }
    // The merge reads the message text once; the same text goes into Data.
    LocalTime now = ctx_.clock.now();
    std::string email = ctx_.mail.from();
    std::string text = readMessageText(ctx_);
    std::string welcome = mergeTemplate(list.subscribemessage, now, email, parseMergeFields(text));

    if (!isValidEmail(from_) || !isOneAddress(from_)) {
        ctx_.report.addLogLine("Email Address " + from_ + " Not permitted to subscribe to  " +
                               list.Name + " invalid email address");
        return;
    }
    queue(QueueRecord{from_, list.subscribefrom, list.subscribesubject, welcome},
          OutboundKind::AutoReply);
    ++ctx_.state.counters.subscriptions;
    changed_ = true;

    std::optional<Member> found = db().findMember(list.Name, from_);
    if (!found) {
        ctx_.report.addLogLine("Email Address " + from_ + " Added to " + list.Name);
        db().addMember(Member{0, list.Name, from_, text});
    } else {
        ctx_.report.addLogLine("Email Address " + from_ + " Already Subscribed to " + list.Name);
        found->Data = text;
        found->name = list.Name;
        found->Email = from_;
        db().updateMember(*found);
    }
    if (leaveIsOff()) {
        actedOn_ = true;
    }
}

void MessageHandler::unsubscribe(const MailingList& list) {
    if (!asksToLeave(list, to_, subject_) || !isValidEmail(from_) || !senderIsOneAddress()) {
        return;
    }
    std::optional<Member> found = db().findMember(list.Name, from_);
    if (!found) {
        ctx_.report.addLogLine("Email Address " + from_ +
                               " Requested unsubscribe, but not found in " + list.Name);
        return;
    }
    ++ctx_.state.counters.unsubscriptions;
    changed_ = true;
    db().deleteMember(found->id);
    ctx_.report.addLogLine("Email Address " + from_ + " Deleted from " + list.Name);
    ctx_.report.addLogLine("Sending unsubscribe message");
    queue(QueueRecord{from_, list.unsubscribefrom, list.unsubscribesubject, farewellText(list)},
          OutboundKind::AutoReply);
    if (leaveIsOff()) {
        actedOn_ = true;
    }
}

void MessageHandler::post(const MailingList& list) {
    if (!postsTo(list, to_, subject_) || automatic(list, "a post") || !isValidEmail(from_)) {
        return;
    }
    // Who may post (mail/PostCheck.h): copied now, kept, or passed over.
    const PostRoute route =
        routePost(ctx_, list, from_, db().findMember(list.Name, from_).has_value());
    if (route == PostRoute::Ignore) {
        return;
    }
    ctx_.report.addLogLine("Email Address " + from_ + " Sent Message into " + list.Name);
    fetchWholeMessage();
    if (ctx_.mail.extraCount() < 1) {
        // One record whose address changes per member: the text of a large
        // post is held once, whatever the members.
        QueueRecord copy{"", ctx_.mail.from(), ctx_.mail.subject(), ""};
        {
            // Made at its size: a string that grows doubles its room.
            const std::string text = ctx_.mail.bodyText();
            copy.body.reserve(text.size() + 2 + list.textTOADD.size());
            copy.body += text;
        }
        copy.body += "\r\n";
        copy.body += list.textTOADD;
        if (route != PostRoute::Copy) {
            keepPost(ctx_, list, from_, copy, route);
            dealtWith();
            restoreHeaderValues();
            return;
        }
        // Streamed: a list of any size is copied without holding its members;
        // the notes of the copies go in the message's transaction.
        db().releaseMember(list.Name, from_);  // the member's own post
        const std::int64_t today = epochSeconds(ctx_.clock.now()) / 86400;
        db().forEachMember(list.Name, [&](const Member& member) {
            if (isHeld(member, today)) {
                return;
            }
            changed_ = true;
            copy.to = member.Email;
            queue(copy, OutboundKind::ListCopy, list.Name);
            ctx_.report.setStatus("Queue Message to " + member.Email);
        });
        if (leaveIsOff()) {
            actedOn_ = true;
        }
    }
    restoreHeaderValues();
}

bool MessageHandler::automatic(const MailingList& list, const char* what, bool confirmation) {
    // Exchange's and others' automatic replies, which quote a confirmation's
    // Subject, are marked only so.
    const bool marked =
        confirmation && (ctx_.mail.hasHeaderField("X-Auto-Response-Suppress") ||
                         ctx_.mail.hasHeaderField("X-MS-Exchange-Inbox-Rules-Loop") ||
                         ctx_.mail.hasHeaderField("X-Autogenerated"));
    if (!marked && !isAutomaticMail(ctx_.mail, from_, list)) {
        return false;
    }
    ctx_.report.addLogLine("Message from:" + from_ + " Subject: " + subject_ +
                           " is automatic mail, not taken as " + what + " to " + list.Name);
    return true;
}

// A subscribe request that would mail a confirmation now.
bool MessageHandler::asksToConfirm(const MailingList& list) {
    if (!subscribeRequest(list) || list.subscribemessage.empty() || !list.confirm ||
        !isValidEmail(from_) || isAutomaticMail(ctx_.mail, from_, list) ||
        db().findMember(list.Name, from_)) {
        return false;
    }
    const std::optional<PendingRequest> earlier = db().findPending(list.Name, from_);
    return !earlier || !stillPending(earlier->Asked, epochSeconds(ctx_.clock.now()));
}

// The run's confirmations are capped; a request beyond the cap stays on the
// server, untouched, for the next run.
bool MessageHandler::waitsForNextRun() {
    int asking = 0;
    if (confirmTokenIn(subject_).empty()) {
        for (const MailingList& list : lists_) {
            asking += asksToConfirm(list) ? 1 : 0;
        }
    }
    const int sent = ctx_.state.counters.confirmations;
    if (asking == 0 || sent == 0 || sent + asking <= kConfirmationsPerRun) {
        return false;
    }
    if (++ctx_.state.counters.requestsLeft <= kReportLogLines) {
        ctx_.report.addLogLine(
            "Email Address " + from_ + " Subscribe request left for the next run: " +
            std::to_string(kConfirmationsPerRun) + " confirmations were sent in this run");
    }
    return true;
}

void MessageHandler::askToConfirm(const MailingList& list) {
    // The rule the autoresponders apply: a From of several addresses (joined
    // by look-alike commas, say) would mail all of them from one request.
    if (!isValidEmail(from_) || !isOneAddress(from_)) {
        ctx_.report.addLogLine("Email Address " + from_ + " Not permitted to subscribe to  " +
                               list.Name + " invalid email address");
        return;
    }
    if (db().findMember(list.Name, from_)) {
        // No second welcome, and the member's data stays as it is.
        ctx_.report.addLogLine("Email Address " + from_ + " Already Subscribed to " + list.Name);
        dealtWith();
        return;
    }
    const std::int64_t now = epochSeconds(ctx_.clock.now());
    const std::optional<PendingRequest> earlier = db().findPending(list.Name, from_);
    if (earlier && stillPending(earlier->Asked, now)) {
        ctx_.report.addLogLine("Email Address " + from_ + " Already asked to join " + list.Name +
                               ", waiting for the confirmation");
        dealtWith();
        return;
    }
    PendingRequest request{0, list.Name, from_, readMessageText(ctx_), newConfirmToken(), now};
    db().addPending(request);  // replaces an expired one
    queue(confirmationRecord(list, from_, request.Token), OutboundKind::AutoReply);
    ++ctx_.state.counters.confirmations;
    ctx_.report.addLogLine("Email Address " + from_ + " Asked to confirm joining " + list.Name);
    dealtWith();
}

void MessageHandler::confirm(const std::string& token) {
    const std::optional<PendingRequest> request = db().findPendingToken(token);
    const MailingList* list = nullptr;
    for (const MailingList& l : lists_) {
        if (request && sameText(l.Name, request->list)) {
            list = &l;
            break;
        }
    }
    // Logged once (the ledger), but left on the server: the Subject may
    // belong to someone else's confirmation.
    auto refuse = [&](const std::string& why) {
        ctx_.report.addLogLine("Email Address " + from_ + " Confirmation refused: " + why);
        changed_ = true;
        leftOnServer_ = true;
    };
    if (!request) {
        // A token of a kept post (mail/PostCheck.h).
        const std::optional<HeldPost> held = HeldPosts(db()).findToken(token);
        for (const MailingList& l : lists_) {
            if (!held || !sameText(l.Name, held->list)) {
                continue;
            }
            if (!automatic(l, "a confirmation", true)) {
                const std::string why = confirmHeldPost(
                    ctx_, l, *held, from_,
                    [&](const QueueRecord& r) { queue(r, OutboundKind::ListCopy, l.Name); });
                why.empty() ? dealtWith() : refuse(why);
            }
            return;
        }
    }
    if (!request || !list) {
        refuse("unknown token");
        return;
    }
    if (automatic(*list, "a confirmation", true)) {
        return;
    }
    if (!sameText(request->Email, from_)) {
        refuse("the token was sent to another address");
        return;
    }
    if (!isOneAddress(request->Email)) {
        // Stored before requests were held to one address.
        refuse("the request is not of one address");
        return;
    }
    const LocalTime now = ctx_.clock.now();
    if (!stillPending(request->Asked, epochSeconds(now))) {
        refuse("the token has expired");
        return;
    }
    db().deletePending(request->id);
    dealtWith();
    if (db().findMember(list->Name, request->Email)) {
        ctx_.report.addLogLine("Email Address " + from_ + " Already Subscribed to " + list->Name);
        return;
    }
    if (!list->subscribemessage.empty()) {  // emptied since the request came
        queue(welcomeRecord(*list, *request, now), OutboundKind::AutoReply);
    }
    ++ctx_.state.counters.subscriptions;
    db().addMember(Member{0, list->Name, request->Email, request->Data});
    ctx_.report.addLogLine("Email Address " + request->Email + " Added to " + list->Name);
}

bool MessageHandler::readDeliveryReport() {
    if (!looksLikeDeliveryReport(ctx_.mail, from_)) {
        return false;
    }
    ctx_.report.setStatus("Reading delivery report " + number_);
    ctx_.mail.fetchMessage();
    const std::vector<DeliveryStatus> report = ctx_.mail.deliveryReport();
    restoreHeaderValues();
    if (report.empty()) {
        return false;
    }
    std::vector<ProvenCopy> proven;
    std::vector<const DeliveryStatus*> provenStatus;
    for (const DeliveryStatus& d : report) {
        if (std::optional<ProvenCopy> copy = provenCopy(ctx_, d)) {
            proven.push_back(*copy);
            provenStatus.push_back(&d);
        }
    }
    if (proven.empty()) {
        // Someone else's report (the user's own mail, or a forgery): none of
        // our business, so it stays as any other message does; said once.
        ctx_.report.addLogLine("Message from:" + from_ + " Subject: " + subject_ +
                               " is a delivery report that is not about a copy Vorel sent, left "
                               "on the server");
        changed_ = true;
        leftOnServer_ = true;
        return true;
    }
    std::size_t logged = 0;
    for (const DeliveryStatus& d : report) {
        if (logged == static_cast<std::size_t>(kReportLogLines)) {
            ctx_.report.addLogLine("Delivery report from " + from_ + ": and " +
                                   std::to_string(report.size() - logged) + " more recipients");
            break;
        }
        ++logged;
        const std::string address = isValidEmail(d.recipient) ? d.recipient : d.member;
        ctx_.report.addLogLine("Delivery report for " + address + ": " + d.action + " " + d.status +
                               (isHardBounce(d.status) ? " (hard bounce)" : ""));
    }
    const std::int64_t today = epochSeconds(ctx_.clock.now()) / 86400;
    for (std::size_t i = 0; i < proven.size(); ++i) {
        if (!isHardBounce(provenStatus[i]->status) || !ctx_.state.db) {
            continue;
        }
        for (const Member& m : db().recordBounce(proven[i].member, proven[i].list, today)) {
            if (m.bounces == kBouncesToHold) {
                ctx_.report.addLogLine("Email Address " + m.Email + " held in " + m.name +
                                       " after " + std::to_string(m.bounces) +
                                       " hard bounces: no more copies until released");
            }
        }
    }
    dealtWith();
    return true;
}

bool mayReadWholeMessage(const RunContext& ctx, int& requestsAhead) {
    const MailComponent& mail = ctx.mail;
    const std::string from = mail.from();
    const std::string to = mail.to();
    const std::string subject = mail.subject();
    if (looksLikeDeliveryReport(mail, from)) {
        return true;
    }
    if (isAutomaticMessage(mail, from) || !ctx.state.autoresponderRows || !ctx.state.listRows) {
        return false;
    }
    // Every reply merges fields from the message's text.
    if (!isBulkOrAutoReply(mail) && isOneAddress(from)) {
        const std::int64_t arrival = arrivalTime(mail, ctx.clock);
        for (const Autoresponder& row : *ctx.state.autoresponderRows) {
            if (autoresponderApplies(row, to, subject, arrival)) {
                return true;
            }
        }
    }
    if (!confirmTokenIn(subject).empty()) {
        return false;  // a confirmation reads nothing more than its header
    }
    // A request keeps the message's text; a member's post is copied whole.
    // A request beyond the run's confirmations waits for a later run: its
    // header says so, and a flood of them costs no downloads.
    bool asks = false;
    for (const MailingList& list : *ctx.state.listRows) {
        const bool joins = asksToJoin(list, to, subject) && !list.subscribemessage.empty();
        if (!(joins || postsTo(list, to, subject)) || isAutomaticMail(mail, from, list)) {
            continue;
        }
        if (!joins || !list.confirm || postsTo(list, to, subject)) {
            return true;
        }
        asks = true;
    }
    if (!asks || ctx.state.counters.confirmations >= kConfirmationsPerRun ||
        requestsAhead >= kConfirmationsPerRun) {
        return false;
    }
    ++requestsAhead;
    return true;
}

void afterMessages(RunContext& ctx) {
    const std::int32_t left = ctx.state.counters.requestsLeft;
    if (left > kReportLogLines) {
        ctx.report.addLogLine("And " + std::to_string(left - kReportLogLines) +
                              " more subscribe requests left for the next run");
    }
    if (!ctx.state.db || ctx.state.databaseLocked) {
        return;
    }
    const std::int64_t now = epochSeconds(ctx.clock.now());
    try {
        const std::int64_t expired = ctx.state.db->deletePendingBefore(now - kConfirmSeconds);
        if (expired > 0) {
            ctx.report.addLogLine(std::to_string(expired) +
                                  " expired subscribe requests removed (not confirmed within "
                                  "72 hours)");
        }
        ctx.state.db->forgetCopiesBefore(now - kCopyDays * 86400);
        afterPosts(ctx);
    } catch (const std::exception&) {
        // Tried again by the next run.
    }
}

}  // namespace vorel
