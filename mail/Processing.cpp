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
#include "mail/MessageRules.h"
#include "mail/Outbound.h"
#include "mail/PostCheck.h"
#include "mail/Subscriptions.h"
#include "store/Queue.h"
#include "store/Transaction.h"

namespace vorel {

namespace {

bool asksToJoin(const MailingList& list, const std::string& to, const std::string& subject) {
    return sameText(to, list.onsubscribeto) || sameText(subject, list.onsubscribesubject) ||
           sameText(to, "<" + list.onsubscribeto + ">");
}

bool postsTo(const MailingList& list, const std::string& to, const std::string& subject) {
    return sameText(to, list.sendtolistfrom) || sameText(subject, list.sendtolistsubject);
}

// The handling of one message. From, To and Subject are the values the run
// driver left on the component when the handling began; fetching the whole
// message later replaces the component's values with the raw header's.
class MessageHandler {
public:
    MessageHandler(RunContext& ctx, long number, const std::string& ledgerKey, QueueFiles* files)
        : ctx_(ctx),
          autoresponders_(loaded(ctx.state.autoresponderRows)),
          lists_(loaded(ctx.state.listRows)),
          number_(std::to_string(number)),
          from_(ctx.mail.from()),
          to_(ctx.mail.to()),
          subject_(ctx.mail.subject()),
          batch_(ctx.folder, ledgerKey, files) {}

    void run();
    // Reads a delivery report: logged, hard bounces counted, never answered;
    // false when the message is not one.
    bool readDeliveryReport();
    // Something was queued or stored for this message.
    bool changed() const { return changed_; }
    // Judged once and left on the server on purpose: later runs pass over it.
    bool leftOnServer() const { return leftOnServer_; }
    // Appends the records queued for the message (throws when it cannot).
    void flushQueue() { batch_.flush(); }
    // Some of its records were appended already (a message of very many).
    bool journaled() const { return batch_.journaled(); }
    // The records held, for the group to append.
    std::string takeQueued() { return batch_.take(); }
    // The message is to be deleted once its handling is committed.
    bool deletes() const { return leaveIsOff() && actedOn_; }
    // The message's changes are committed: its records stay queued.
    void settled() { batch_.settled(); }

private:
    Database& db();
    void queue(const QueueRecord& record, OutboundKind kind, const std::string& listName = "") {
        queueNoted(ctx_.state.db ? &*ctx_.state.db : nullptr, batch_, record, kind, listName);
    }
    bool leaveIsOff() const { return !lineIsOnUnlessZero(ctx_.state.settings.chkLEAVE); }
    // Replies, welcomes and farewells go to one address only (logged once).
    bool senderIsOneAddress();
    void autoresponderPass();
    void carryOut(const Autoresponder& row);
    void forward(const Autoresponder& row);
    void listPass();
    void subscribe(const MailingList& list);
    bool subscribeRequest(const MailingList& list) const;
    // Confirmed subscriptions (mail/Subscriptions.h).
    bool asksToConfirm(const MailingList& list);
    void askToConfirm(const MailingList& list);
    void confirm(const std::string& token);
    bool waitsForNextRun();
    // Nothing to queue or store, but the message is dealt with: the ledger
    // keeps the next run from logging it again.
    void dealtWith() {
        changed_ = true;
        actedOn_ = actedOn_ || leaveIsOff();
    }
    bool automatic(const MailingList& list, const char* what, bool confirmation = false);
    void unsubscribe(const MailingList& list);
    void post(const MailingList& list);
    void fetchWholeMessage();
    // Puts back the values the driver left, so that later merges and rules
    // see the bare addresses again.
    void restoreHeaderValues();

    template <typename Rows>
    static Rows& loaded(std::optional<Rows>& rows) {
        if (!rows) {
            throw std::logic_error("the rows of the try were not loaded");
        }
        return *rows;
    }

    RunContext& ctx_;
    // The try's rows; counters raised here are seen by the next message.
    std::vector<Autoresponder>& autoresponders_;
    const std::vector<MailingList>& lists_;
    std::string number_;
    std::string from_, to_, subject_;
    QueueBatch batch_;
    bool actedOn_ = false;
    bool changed_ = false;
    bool leftOnServer_ = false;
    bool toldNotOne_ = false;
};

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
    return asksToJoin(list, to_, subject_);
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
    bool request = sameText(to_, list.onunsubscribeto) ||
                   sameText(subject_, list.onunsubscribesubject) ||
                   sameText(to_, "<" + list.onunsubscribeto + ">") ||
                   sameText(to_ + ",", list.onunsubscribeto);
    if (!request || !isValidEmail(from_) || !senderIsOneAddress()) {
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

std::string firstToken(const std::string& value) {
    const std::string v = trimSpace(value);
    const std::size_t end = v.find_first_of(" \t;(");
    return end == std::string::npos ? v : v.substr(0, end);
}

bool localPartIs(const std::string& address, const char* name) {
    return sameText(trimBlanks(textBefore(address, "@")), name);
}

// List, bulk and junk mail and other robots' replies (RFC 3834).
bool sentByRobot(const MailComponent& mail) {
    const std::string precedence = firstToken(mail.headerField("Precedence"));
    return mail.hasHeaderField("X-Autoreply") || mail.hasHeaderField("X-Autorespond") ||
           sameText(precedence, "bulk") || sameText(precedence, "list") ||
           sameText(precedence, "junk") ||
           (mail.hasHeaderField("Return-Path") &&
            trimSpace(mail.headerField("Return-Path")) == "<>");
}

}  // namespace

bool isAutomaticMessage(const MailComponent& mail, const std::string& fromAddress) {
    // "no (sent by a person)": the first token is the value, the rest a comment.
    if (mail.hasHeaderField("Auto-Submitted") &&
        !sameText(firstToken(mail.headerField("Auto-Submitted")), "no")) {
        return true;
    }
    if (localPartIs(fromAddress, "MAILER-DAEMON") || localPartIs(fromAddress, "postmaster")) {
        return true;
    }
    return mail.headerField("X-Mailer").rfind("VOREL MAIL ", 0) == 0;
}

bool isAutomaticMail(const MailComponent& mail, const std::string& fromAddress,
                     const MailingList& list) {
    if (isAutomaticMessage(mail, fromAddress) || sentByRobot(mail) ||
        looksLikeDeliveryReport(mail, fromAddress)) {
        return true;
    }
    // Only our own list's List-Id: a member may pass on another list's mail.
    if (!mail.hasHeaderField("List-Id")) {
        return false;
    }
    const std::string value = mail.headerField("List-Id");
    const std::size_t open = value.rfind('<');
    const std::size_t close = open == std::string::npos ? open : value.find('>', open);
    const std::string id =
        close == std::string::npos ? value : value.substr(open + 1, close - open - 1);
    return sameText(trimSpace(id), listIdOf(list));
}

bool looksLikeDeliveryReport(const MailComponent& mail, const std::string& fromAddress) {
    const std::string type = lowerCase(mail.headerField("Content-Type"));
    if (type.find("multipart/report") != std::string::npos &&
        type.find("delivery-status") != std::string::npos) {
        return true;
    }
    return (localPartIs(fromAddress, "MAILER-DAEMON") || localPartIs(fromAddress, "postmaster")) &&
           mail.hasHeaderField("Return-Path") && trimSpace(mail.headerField("Return-Path")) == "<>";
}

bool isHardBounce(const std::string& status) {
    return status.rfind("5.1.", 0) == 0 || status == "5.2.1";
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

bool isBulkOrAutoReply(const MailComponent& mail) {
    return mail.hasHeaderField("List-Id") || sentByRobot(mail);
}

namespace {

// A group is committed after this many messages or this long, whichever
// comes first: the database's write lock is never held much longer than one
// message's handling, and a killed run redoes at most this much.
constexpr std::size_t kGroupMessages = 100;
constexpr auto kGroupTime = std::chrono::milliseconds(50);

}  // namespace
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

bool processMessage(RunContext& ctx, long messageNumber, const std::string& ledgerKey) {
    MessageGroup group(ctx);
    const bool changed = group.handle(messageNumber, ledgerKey);
    group.finish();
    return changed;
}

MessageGroup::MessageGroup(RunContext& ctx) : ctx_(ctx), files_(ctx.folder) {}

MessageGroup::~MessageGroup() {
    try {
        commit(false);
    } catch (...) {
        // Nothing more can be done here; the journal settles it next run.
    }
}

void MessageGroup::logError(const std::string& number, const std::string& what) {
    ctx_.report.addLogLine("Error Processing " + number + " " + what +
                           " Please email this error to " + kSupportAddress);
}

MessageGroup::Snapshot MessageGroup::snapshot() const {
    Snapshot s{ctx_.state.counters, {}};
    for (const Autoresponder& a : *ctx_.state.autoresponderRows) {
        s.rowCounters.push_back(a.Counter);
    }
    return s;
}

void MessageGroup::restore(const Snapshot& s) {
    ctx_.state.counters = s.counters;
    for (std::size_t i = 0; i < s.rowCounters.size(); ++i) {
        (*ctx_.state.autoresponderRows)[i].Counter = s.rowCounters[i];
    }
}

bool MessageGroup::begin(const std::string& number) {
    Database* db = ctx_.state.db ? &*ctx_.state.db : nullptr;
    if (!db || transaction_) {
        return true;
    }
    try {
        transaction_.emplace(*db);
    } catch (const StoreBusy&) {
        ctx_.state.databaseLocked = true;
        return false;
    } catch (const std::exception& e) {
        logError(number, e.what());
        return false;
    }
    started_ = std::chrono::steady_clock::now();
    atStart_ = snapshot();
    return true;
}

bool MessageGroup::handle(long messageNumber, const std::string& ledgerKey) {
    const std::string number = std::to_string(messageNumber);
    // The message's database changes, the notes of its records and its
    // ledger entry are committed together with the group's, right after the
    // group's records are appended to the queue. A message whose transaction
    // cannot start is not handled: it stays on the server for the next run.
    if (!ctx_.state.autoresponderRows || !ctx_.state.listRows) {
        throw std::logic_error("the rows of the try were not loaded");
    }
    if (!begin(number)) {
        return false;
    }
    Database* db = ctx_.state.db ? &*ctx_.state.db : nullptr;
    // What the handling raises in memory goes back with its changes.
    const Snapshot before = snapshot();
    // The ledger key also names the message's appends to the queue, so that
    // a run killed before the commit has them taken out by the next run.
    MessageHandler handler(ctx_, messageNumber, db ? ledgerKey : std::string(), &files_);
    bool completed = false;
    bool failed = false;
    bool marked = false;
    const auto fail = [&](const std::exception& e) {
        failed = true;
        if (dynamic_cast<const StoreBusy*>(&e) != nullptr) {
            ctx_.state.databaseLocked = true;  // the run says so, once
        } else if (const auto* m = dynamic_cast<const MailError*>(&e)) {
            // A message file's failure names the file and why (a refused link, a full disk).
            logError(number, mailErrorText(m->code()) + (m->code() == mailcode::kFile
                                                             ? " " + std::string(e.what())
                                                             : std::string()));
        } else {
            logError(number, e.what());
        }
    };
    try {
        if (db) {
            db->mark();
            marked = true;
        }
        if (handler.readDeliveryReport()) {
            completed = true;
        } else if (isAutomaticMessage(ctx_.mail, ctx_.mail.from())) {
            ctx_.report.addLogLine("Message from:" + ctx_.mail.from() + " Subject: " +
                                   ctx_.mail.subject() + " is an automatic message, not answered");
        } else {
            handler.run();
            completed = true;
        }
        if (db && handler.changed() && !ledgerKey.empty()) {
            if (handler.leftOnServer()) {
                db->markLeft(ledgerKey);
            } else {
                db->markHandled(ledgerKey);
            }
        }
        if (marked) {
            db->releaseMark();
        }
    } catch (const std::exception& e) {
        fail(e);
    }
    if (failed) {
        // Nothing of the message is kept, queued or counted: a handling cut
        // short must not send half its mail, nor all of it again next time.
        restore(before);
        if (db && !db->inTransaction()) {
            // SQLite undid the whole transaction: the group goes with it.
            undoGroup(std::runtime_error("the transaction was ended by the database"));
        } else if (marked) {
            db->rollbackToMark();
        }
        if (handler.journaled()) {
            // Records of the message went to the queue already: the group is
            // committed first, so that every other note is of committed work.
            const std::string own = db ? ledgerKey : std::string();
            commit();
            try {
                files_.settle([&own](const std::string& key) { return key != own; });
            } catch (const std::exception&) {
                // Left for the next run to settle.
            }
        }
        return false;
    }
    if (!ledgerKey.empty()) {
        keys_.push_back(ledgerKey);
    }
    if (handler.journaled()) {
        // Its first records are in the queue under its own note: the rest follow them.
        try {
            handler.flushQueue();
        } catch (const std::exception& e) {
            restore(before);
            fail(e);
            undoGroup(e);
            return false;
        }
    } else {
        const std::string queued = handler.takeQueued();
        if (!queued.empty()) {
            bytes_ += queued;
            if (noteKey_.empty() && db) {
                noteKey_ = ledgerKey;
            }
        }
    }
    handler.settled();
    numbers_.push_back(messageNumber);
    if (completed && handler.deletes()) {
        toDelete_.push_back(messageNumber);
    }
    if (!db) {
        commit();  // nothing to group: appended at once, as without a ledger
    }
    return handler.changed();
}

void MessageGroup::commitIfDue() {
    if (numbers_.size() >= kGroupMessages || bytes_.size() > 4 * 1024 * 1024 ||
        (transaction_ && std::chrono::steady_clock::now() - started_ >= kGroupTime)) {
        commit();
    }
}

void MessageGroup::undoGroup(const std::exception& e) {
    transaction_.reset();  // rolled back
    if (!numbers_.empty()) {
        restore(atStart_);
        if (dynamic_cast<const StoreBusy*>(&e) != nullptr) {
            ctx_.state.databaseLocked = true;
        } else {
            for (long n : numbers_) {
                logError(std::to_string(n), e.what());
            }
        }
    }
    // The group's records that reached the queue are taken out again.
    const std::vector<std::string> undone = keys_;
    try {
        files_.settle([&undone](const std::string& key) {
            return std::find(undone.begin(), undone.end(), key) == undone.end();
        });
    } catch (const std::exception&) {
        // Left for the next run to settle.
    }
    bytes_.clear();
    noteKey_.clear();
    keys_.clear();
    numbers_.clear();
    toDelete_.clear();
}

bool MessageGroup::commit(bool deleteMessages) {
    try {
        files_.append(bytes_, noteKey_);
        bytes_.clear();
        if (transaction_) {
            transaction_->commit();
            transaction_.reset();
        }
    } catch (const std::exception& e) {
        undoGroup(e);
        return false;
    }
    noteKey_.clear();
    keys_.clear();
    numbers_.clear();
    const std::vector<long> acted = std::exchange(toDelete_, {});
    if (deleteMessages) {
        // Only now: a message deleted while its handling could still be
        // undone would never be answered.
        for (long n : acted) {
            try {
                ctx_.mail.selectMessage(n);
                ctx_.mail.deleteMessage();
            } catch (const std::exception&) {
                // Left on the server; the ledger has the next run delete it.
            }
        }
    }
    return true;
}

void MessageGroup::finish() {
    if (commit()) {
        files_.finish();
    }
}

}  // namespace vorel
