#include "run/SendStep.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "base/TextCompare.h"
#include "core/MailComponent.h"
#include "core/Reporter.h"
#include "core/RunState.h"
#include "mail/Outbound.h"
#include "mail/Sender.h"
#include "mail/Subscriptions.h"
#include "run/SmtpLink.h"
#include "store/AppFolder.h"
#include "store/Queue.h"
#include "store/SendLimits.h"
#include "store/Settings.h"

namespace fs = std::filesystem;

namespace vorel {

namespace {

constexpr char kLogSubject[] = "*** Email Log from VOREL Software ***";
constexpr char kLogContinuation[] = "Continuation of Log.....\r\n\r\n";
constexpr int kLinesPerLogMail = 600;

std::optional<std::uintmax_t> sizeOf(const std::string& path) {
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    if (ec) {
        return std::nullopt;
    }
    return size;
}

bool endsWithMsg(const std::string& name) {
    return name.size() >= 4 && sameText(name.substr(name.size() - 4), ".msg");
}

// How sending the records ended.
enum class SendOutcome {
    AllRead,    // every record was sent or re-queued
    Stopped,    // a cancel or an error ended the loop; the unread records stay queued
    KeepQueue,  // records could not be kept: msgqueue.txt must stay as it is
};

// A queue file that cannot be read or written (a refused link, a full disk)
// keeps the queue as it is; the log says why, or it would stay so unnoticed.
void logQueueKept(RunContext& ctx, const std::exception& e) {
    ctx.report.addLogLine(std::string("The queue is kept for the next run: ") + e.what());
}

// The records from the reader's position to its end.
std::uint64_t recordsLeft(const std::string& path, std::uint64_t from, std::uint64_t limit) {
    std::uint64_t n = 0;
    try {
        QueueReader counter(path, limit);
        counter.skipTo(from);
        while (!counter.atEnd()) {
            counter.readRecord();
            ++n;
        }
    } catch (const std::exception&) {
    }
    return n;
}

// The provider's limits as the step keeps them: the day's allowance and the
// pace, both across runs (msgqueue.sent).
class Limits {
public:
    explicit Limits(RunContext& ctx)
        : ctx_(ctx),
          checked_(readSendLimitsForRun(ctx.folder)),
          limits_(checked_.limits),
          log_(ctx.folder, epochSeconds(ctx.clock.now())) {
        for (const std::string& problem : checked_.problems) {
            ctx.report.addLogLine(problem);
        }
        if (limits_.pace > 0) {
            for (const std::int64_t at : log_.lastSends(static_cast<std::size_t>(limits_.pace))) {
                sent_.push_back(at);
            }
        }
    }

    std::int64_t now() const { return epochSeconds(ctx_.clock.now()); }
    // A record with more recipients than the day allows goes out alone, on
    // a day when nothing else went.
    bool allowanceLeft(std::int64_t recipients) const {
        return log_.remaining(limits_.dailyLimit) >= recipients ||
               (recipients > limits_.dailyLimit && log_.sentInWindow() == 0);
    }
    std::int64_t opensAt(std::int64_t recipients) const {
        if (recipients > limits_.dailyLimit) {
            const std::vector<std::int64_t> last = log_.lastSends(1);
            return last.empty() ? now() : last.back() + kSendWindowSeconds;
        }
        return log_.opensAt();
    }
    long dailyLimit() const { return limits_.dailyLimit; }

    // Waits until the pace allows one more message, yielding to the run
    // host meanwhile; false when a stop was asked for.
    bool awaitPace() {
        if (limits_.pace <= 0) {
            return true;
        }
        const auto pace = static_cast<std::size_t>(limits_.pace);
        bool said = false;
        while (sent_.size() >= pace) {
            const std::int64_t due = sent_[sent_.size() - pace] + 60;
            const std::int64_t at = now();
            if (at >= due) {
                break;
            }
            if (!said) {
                said = true;
                ctx_.report.setStatus("Waiting for the sending pace (" +
                                      std::to_string(limits_.pace) + " a minute)");
            }
            ctx_.yield();
            if (ctx_.state.cancelRequested) {
                return false;
            }
            if (now() < due) {
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            }
        }
        return true;
    }
    // How many messages the pace lets go at once without waiting; at least one.
    std::size_t room() const {
        if (limits_.pace <= 0) {
            return 1 << 20;
        }
        const std::int64_t since = now() - 60;
        const std::int64_t n =
            limits_.pace - std::count_if(sent_.begin(), sent_.end(),
                                         [since](std::int64_t at) { return at > since; });
        return static_cast<std::size_t>(std::clamp<std::int64_t>(n, 1, 1 << 20));
    }
    // Recipients the day still allows after `spent` more.
    bool fits(std::int64_t spent) const { return log_.remaining(limits_.dailyLimit) >= spent; }
    void sent(std::int64_t recipients) {
        const std::int64_t at = now();
        if (limits_.dailyLimit > 0 || limits_.pace > 0) {
            log_.add(at, recipients);
        }
        sent_.push_back(at);
        if (sent_.size() > static_cast<std::size_t>(std::max(limits_.pace, 1L))) {
            sent_.pop_front();
        }
    }

private:
    RunContext& ctx_;
    CheckedSendLimits checked_;
    SendLimits limits_;
    SentLog log_;
    std::deque<std::int64_t> sent_;  // when the latest messages went, this run's and before
};

// A record read from the queue whose outcome is not known yet, where its
// bytes lie in msgqueue.txt, and the message it makes.
struct Pending {
    QueueRecord record;
    std::uint64_t start = 0, end = 0;
    OutgoingMessage message;
    std::int64_t recipients = 1;
    int lost = 0;  // connections lost while it awaited its replies
    // A text body is lent to the message rather than copied (a post's copy
    // may be megabytes) and given back (giveBack) before the record is used.
    bool lent = false;
};

// A connection lost twice while the same message awaited its replies: it
// is queued for the next run rather than tried for ever.
constexpr int kLostConnectionsPerMessage = 2;

// Records read ahead for one batch, in bytes: a batch of large messages (a
// post's copies) goes one at a time, so that memory follows the message,
// not the server's pipelining window.
constexpr std::uint64_t kBatchBytes = 1 << 20;

void giveBack(Pending& p) {
    if (p.lent) {
        p.record.body = std::move(p.message.body);
        p.lent = false;
    }
}

// Hands the records to the SMTP link in batches of as many as the connection
// keeps in flight (one where the server does not pipeline) and deals with
// each outcome in the records' order: the cursor moves past a record once it
// was sent, re-queued or set aside. After a failed record the connection is
// made anew; a message whose replies a lost connection took goes again first.
// The provider's limits end the loop early, the records left queued in
// order; a record the account's limit refused goes behind them (`last`), so
// that no one record stops more than one run.
class RecordSender {
public:
    RecordSender(RunContext& ctx, QueueReader& reader, SendCursor& cursor,
                 const std::string& queuePath, std::uint64_t queueLimit,
                 std::optional<QueueRecord>& last)
        : ctx_(ctx),
          reader_(reader),
          cursor_(cursor),
          queuePath_(queuePath),
          queueLimit_(queueLimit),
          last_(last),
          limits_(ctx) {}

    SendOutcome run();

private:
    // Records read but not dealt with go back to the reader, so that they
    // are carried over with the rest.
    SendOutcome stop();
    void readOne();
    void sent(Pending& p);
    // Says so and returns true when the day's allowance cannot take the next record.
    bool dailyLimitReached();
    // How many go in the next batch: what the connection keeps in flight,
    // the messages left before the connection is renewed, and the pace.
    std::size_t batchSize();
    void readAhead(std::size_t want);
    // As many as the day's allowance takes; the first always.
    std::vector<OutgoingMessage> takeBatch(std::size_t want);
    // The batch's outcomes in the records' order; an outcome when the loop
    // ends with them.
    std::optional<SendOutcome> dealWith(const std::vector<MessageOutcome>& outcomes,
                                        std::size_t batchSize);
    SendOutcome accountLimitReached(const std::vector<MessageOutcome>& outcomes, std::size_t k);
    // A record that failed: refused for good it goes to the failed queue,
    // else it is queued again; false when it could not be kept.
    bool setAside(const MessageOutcome& o);
    std::uint64_t recordsLeftFromFront() const {
        return recordsLeft(queuePath_, pending_.front().start, queueLimit_);
    }

    RunContext& ctx_;
    QueueReader& reader_;
    SendCursor& cursor_;
    const std::string& queuePath_;
    const std::uint64_t queueLimit_;
    std::optional<QueueRecord>& last_;
    Limits limits_;
    std::deque<Pending> pending_;
};

SendOutcome RecordSender::run() {
    try {
        while (!pending_.empty() || !reader_.atEnd()) {
            if (ctx_.state.cancelRequested) {
                return stop();
            }
            if (pending_.empty()) {
                readOne();
            }
            if (dailyLimitReached() || !limits_.awaitPace()) {
                return stop();
            }
            const std::size_t want = batchSize();
            readAhead(want);
            std::vector<OutgoingMessage> batch = takeBatch(want);
            const std::vector<MessageOutcome> outcomes =
                sendMessages(ctx_, ctx_.state.settings.txtSMTP, batch);
            for (std::size_t k = 0; k < batch.size(); ++k) {
                pending_[k].message = std::move(batch[k]);
            }
            if (const std::optional<SendOutcome> end = dealWith(outcomes, batch.size())) {
                return *end;
            }
        }
    } catch (const std::exception&) {
        return stop();
    }
    return ctx_.state.cancelRequested ? stop() : SendOutcome::AllRead;
}

SendOutcome RecordSender::stop() {
    if (!pending_.empty()) {
        reader_.skipTo(pending_.front().start);
    }
    return SendOutcome::Stopped;
}

void RecordSender::readOne() {
    Pending p;
    p.start = reader_.consumed();
    p.record = reader_.readRecord();
    p.end = reader_.consumed();
    const OutboundAddressing how = outboundAddressing(ctx_, p.record);
    p.lent = messageFileOfBody(ctx_.folder, p.record.body).empty();
    p.message = composeMessage(ctx_, p.record.to, how.from.empty() ? p.record.from : how.from,
                               p.lent ? std::move(p.record.body) : std::string(p.record.body),
                               p.record.subject, how.fields, how.envelope);
    p.recipients = static_cast<std::int64_t>(ctx_.mail.recipientCount(p.message));
    pending_.push_back(std::move(p));
}

void RecordSender::sent(Pending& p) {
    giveBack(p);
    cursor_.advance(p.end);
    outboundSent(ctx_, p.record);
    limits_.sent(p.recipients);
}

bool RecordSender::dailyLimitReached() {
    const std::int64_t recipients = pending_.front().recipients;
    if (limits_.allowanceLeft(recipients)) {
        return false;
    }
    ctx_.report.addLogLine("Daily sending limit of " + std::to_string(limits_.dailyLimit()) +
                           " recipients reached: " + std::to_string(recordsLeftFromFront()) +
                           " message(s) wait in the queue; the allowance opens again at " +
                           minuteText(limits_.opensAt(recipients)));
    return true;
}

std::size_t RecordSender::batchSize() {
    return std::max<std::size_t>(
        1, std::min({ctx_.mail.sendWindow(), messagesBeforeRenewal(ctx_), limits_.room()}));
}

void RecordSender::readAhead(std::size_t want) {
    std::uint64_t held = 0;
    for (const Pending& p : pending_) {
        held += p.end - p.start;
    }
    while (pending_.size() < want && !reader_.atEnd() && held < kBatchBytes) {
        readOne();
        held += pending_.back().end - pending_.back().start;
    }
}

std::vector<OutgoingMessage> RecordSender::takeBatch(std::size_t want) {
    std::vector<OutgoingMessage> batch;
    std::int64_t spent = 0;
    for (std::size_t k = 0; k < pending_.size() && k < want &&
                            (k == 0 || pending_[k].end - pending_[0].start <= kBatchBytes);
         ++k) {
        spent += pending_[k].recipients;
        if (k > 0 && !limits_.fits(spent)) {
            break;
        }
        batch.push_back(std::move(pending_[k].message));
    }
    return batch;
}

std::optional<SendOutcome> RecordSender::dealWith(const std::vector<MessageOutcome>& outcomes,
                                                  std::size_t batchSize) {
    bool failed = outcomes.size() < batchSize;
    for (std::size_t k = 0; k < outcomes.size(); ++k) {
        const MessageOutcome& o = outcomes[k];
        if (o.sent) {
            sent(pending_.front());
            pending_.pop_front();
            continue;
        }
        if (isAccountLimitReply(o.reply, o.step)) {
            return accountLimitReached(outcomes, k);
        }
        failed = true;
        if (o.error == mailcode::kNotConnected &&
            ++pending_.front().lost < kLostConnectionsPerMessage) {
            break;  // no result: sent again first on the new connection
        }
        if (!setAside(o)) {
            return SendOutcome::KeepQueue;
        }
    }
    if (failed) {
        reconnectAfterFailure(ctx_);
    }
    return std::nullopt;
}

// Every later record would be refused the same way: the rest stay queued as
// they are, the refused one behind them. A later one of the same stream that
// did go is not queued again. The cursor stays before the refused record
// until the queue is replaced, so a step killed meanwhile loses it not.
SendOutcome RecordSender::accountLimitReached(const std::vector<MessageOutcome>& outcomes,
                                              std::size_t k) {
    const auto laterSent = std::count_if(outcomes.begin() + static_cast<long>(k), outcomes.end(),
                                         [](const MessageOutcome& later) { return later.sent; });
    const std::uint64_t left = recordsLeftFromFront() - static_cast<std::uint64_t>(laterSent);
    giveBack(pending_.front());
    last_ = pending_.front().record;
    pending_.pop_front();
    try {
        for (std::size_t j = k + 1; !pending_.empty(); ++j) {
            giveBack(pending_.front());
            if (j < outcomes.size() && outcomes[j].sent) {
                outboundSent(ctx_, pending_.front().record);
                limits_.sent(pending_.front().recipients);
            } else {
                requeueRecord(ctx_.folder, pending_.front().record);
            }
            pending_.pop_front();
        }
    } catch (const std::exception& e) {
        logQueueKept(ctx_, e);
        last_.reset();
        return SendOutcome::KeepQueue;
    }
    ctx_.report.addLogLine("The server says a sending limit was reached (" + outcomes[k].reply +
                           "): " + std::to_string(left) +
                           " message(s) wait in the queue for the next run");
    return SendOutcome::Stopped;
}

bool RecordSender::setAside(const MessageOutcome& o) {
    Pending& record = pending_.front();
    giveBack(record);
    try {
        if (o.error == mailcode::kSendRefused) {
            // Refused for good: sent again it would fail again, every run.
            moveToFailed(ctx_.folder, record.record);
            ++ctx_.state.movedToFailed;
            outboundSent(ctx_, record.record);
        } else {
            requeueRecord(ctx_.folder, record.record);
        }
        cursor_.advance(record.end, true);
    } catch (const std::exception& e) {
        // The failed record would be lost with the old queue.
        logQueueKept(ctx_, e);
        return false;
    }
    pending_.pop_front();
    return true;
}

SendOutcome sendRecords(RunContext& ctx, QueueReader& reader, SendCursor& cursor,
                        const std::string& queuePath, std::uint64_t queueLimit,
                        std::optional<QueueRecord>& last) {
    return RecordSender(ctx, reader, cursor, queuePath, queueLimit, last).run();
}

// The records not read yet go to msgqueue.new behind the re-queued ones.
SendOutcome carryOver(RunContext& ctx, QueueReader& reader, const std::string& newPath) {
    ctx.state.carriedOver = true;
    try {
        ctx.report.setStatus("Transferring Queue Please wait... ");
        reader.carryOverTo(newPath, [&ctx](std::uint64_t line) {
            if (line % 1000 == 0) {
                ctx.report.setStatus("Trasnsferring Line " + std::to_string(line));
            }
        });
    } catch (const std::exception& e) {
        logQueueKept(ctx, e);
        return SendOutcome::KeepQueue;
    }
    return SendOutcome::Stopped;
}

// msgqueue.new becomes the queue, or, when records could not all be kept,
// the old queue stays whole and the cursor tells the next run where to go on.
void settleQueue(RunContext& ctx, SendOutcome outcome, std::uint64_t consumed) {
    ctx.report.setStatus("Complete");
    if (outcome == SendOutcome::KeepQueue) {
        ctx.state.carriedOver = true;
        return;
    }
    try {
        replaceQueue(ctx.folder, consumed);
    } catch (const std::exception& e) {
        logQueueKept(ctx, e);
        ctx.state.carriedOver = true;
    }
}

}  // namespace

void runSendingStep(RunContext& ctx) {
    const std::string queuePath = joinPath(ctx.folder, kQueueFile);
    const std::string newPath = joinPath(ctx.folder, kQueueNewFile);
    SendOutcome outcome = SendOutcome::AllRead;
    std::uint64_t consumed = 0;
    const int failedBefore = ctx.state.movedToFailed;
    if (fileExists(queuePath)) {
        std::optional<QueueReader> reader;
        std::optional<SendCursor> cursor;
        std::uint64_t queueLimit = 0;
        try {
            // A step killed before it replaced the queue goes on where it was.
            cursor.emplace(ctx.folder);
            // Only the records queued before now; later ones wait for the next run.
            queueLimit = queueSizeNow(ctx.folder);
            reader.emplace(queuePath, queueLimit);
            reader->skipTo(cursor->offset());
        } catch (const std::exception& e) {
            // Nothing read, nothing sent: the queue stays for the next run.
            logQueueKept(ctx, e);
            outcome = SendOutcome::KeepQueue;
        }
        if (reader) {
            std::optional<QueueRecord> last;
            outcome = sendRecords(ctx, *reader, *cursor, queuePath, queueLimit, last);
            if (outcome == SendOutcome::Stopped) {
                outcome = carryOver(ctx, *reader, newPath);
            }
            if (last && outcome == SendOutcome::Stopped) {
                try {
                    requeueRecord(ctx.folder, *last);
                } catch (const std::exception& e) {
                    logQueueKept(ctx, e);
                    outcome = SendOutcome::KeepQueue;
                }
            }
            consumed = reader->consumed();
            reader->close();
        }
    }
    settleQueue(ctx, outcome, consumed);
    if (const int moved = ctx.state.movedToFailed - failedBefore; moved > 0) {
        ctx.report.addLogLine(std::to_string(moved) + " message(s) refused for good by the server" +
                              " moved to " + kFailedQueueFile);
    }
}

bool isAccountLimitReply(const std::string& reply, SmtpStep step) {
    if (reply.size() < 3 || (reply[0] != '4' && reply[0] != '5') ||
        !std::isdigit(static_cast<unsigned char>(reply[1])) ||
        !std::isdigit(static_cast<unsigned char>(reply[2]))) {
        return false;
    }
    std::string word;
    std::vector<std::string> words;
    for (const char c : reply.substr(3) + " ") {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '.') {
            word += static_cast<char>(std::tolower(u));
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    // The enhanced code comes first, in the reply's class (RFC 2034).
    int subject = -1, detail = -1;
    if (!words.empty() && words[0].size() >= 5 && words[0][0] == reply[0]) {
        if (std::sscanf(words[0].c_str() + 1, ".%3d.%3d", &subject, &detail) != 2) {
            subject = detail = -1;
        }
    }
    bool namesLimit = false;
    for (std::string w : words) {
        while (!w.empty() && w.back() == '.') {
            w.pop_back();
        }
        for (const char* named :
             {"limit", "limits", "limited", "ratelimit", "ratelimited", "rate", "rates"}) {
            namesLimit = namesLimit || w == named;
        }
    }
    if (subject == 1 || (subject == 2 && (detail == 2 || detail == 3)) ||
        (subject == 3 && detail == 4)) {
        return false;  // an address, a full mailbox, a message too large
    }
    if (subject == 4 && detail == 5) {
        return true;  // congestion, a daily quota: no recipient fares better
    }
    if (reply.compare(0, 3, "421") == 0) {
        // The server closes the connection: a policy's (X.7.x), or one that
        // names a limit, would close the next one as well.
        return subject == 7 || (subject < 0 && namesLimit);
    }
    if (step == SmtpStep::Rcpt) {
        return false;
    }
    if (subject == 7) {
        return namesLimit;
    }
    if (subject >= 0) {
        return reply[0] == '5' && subject == 5 && detail == 3;
    }
    return namesLimit;
}

void logStatistics(RunContext& ctx) {
    const RunCounters& c = ctx.state.counters;
    const std::string rule(57, '-');
    Reporter& r = ctx.report;
    r.addLogLine(rule);
    r.addLogLine("STATISTICS");
    r.addLogLine(rule);
    r.addLogLine("Vorel Processed  : " + std::to_string(c.processed) + " Emails");
    r.addLogLine("Autoresponders  : " + std::to_string(c.autoresponders));
    r.addLogLine("Subscriptions     : " + std::to_string(c.subscriptions));
    r.addLogLine("Unsubscriptions  : " + std::to_string(c.unsubscriptions));
    r.addLogLine("Anti-Spam Filter :" + std::to_string(c.antiSpam));
    r.addLogLine(rule);
    r.addLogLine(" ");
}

void sendLogEmail(RunContext& ctx) {
    const Settings& s = ctx.state.settings;
    const std::string& address = s.txtEMAILLOG;
    if (address.empty()) {
        return;
    }
    std::string body;
    int lineCounter = 1;
    ctx.report.setStatus("Sending Log to Email Address " + address);
    const std::string logPath = runLogPath(ctx.folder);
    if (!fileExists(logPath)) {
        return;
    }

    auto sendPiece = [&ctx, &s, &address](const std::string& text) {
        return sendOneMessage(ctx, address, address, s.txtSMTP, text, kLogSubject,
                              {kAutoGenerated});
    };

    // The sends below add their own lines to log.txt; the mail carries the
    // log as it was when the step began, so reading stops at that size.
    bool readWhole = false;
    bool unsentLines = false;
    try {
        std::ifstream in(logPath, std::ios::binary);
        const std::optional<std::uintmax_t> size = sizeOf(logPath);
        if (in && size) {
            std::uintmax_t consumed = 0;
            std::string line;
            while (consumed < *size && std::getline(in, line)) {
                consumed += line.size() + (in.eof() ? 0 : 1);
                if (consumed > *size) {
                    line.resize(line.size() - static_cast<std::size_t>(consumed - *size));
                }
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                body += line;
                body += "\r\n";
                unsentLines = true;
                if (lineCounter >= kLinesPerLogMail) {
                    sendPiece(body);
                    unsentLines = false;
                    lineCounter = 0;
                    body = kLogContinuation;
                } else {
                    ++lineCounter;
                }
            }
            readWhole = consumed >= *size && !in.bad();
        }
    } catch (const std::exception&) {
        readWhole = false;
    }

    // After a read error the lines read so far still go out, but the log is
    // kept, since part of it was never mailed.
    if (!readWhole && !unsentLines) {
        return;
    }
    if (sendPiece(body) && readWhole) {
        std::error_code ec;
        fs::remove(logPath, ec);
    }
}

void cleanUpMessageFiles(RunContext& ctx) {
    // A message file goes once no record of the queue or of msgqueue.failed
    // names it, whatever else happened in the run.
    std::set<std::string> named;
    for (const char* name : {kQueueFile, kFailedQueueFile}) {
        const std::string path = joinPath(ctx.folder, name);
        if (!fileExists(path)) {
            continue;
        }
        try {
            QueueReader reader(path);
            while (!reader.atEnd()) {
                const std::string file = messageFileOfBody(ctx.folder, reader.readRecord().body);
                if (!file.empty()) {
                    named.insert(file);
                }
            }
        } catch (const std::exception&) {
            return;  // cannot tell which are still named: keep them all
        }
    }
    std::error_code ec;
    fs::directory_iterator it(ctx.folder, ec);
    if (ec) {
        return;
    }
    for (const fs::directory_entry& entry : it) {
        std::error_code fileEc;
        const std::string path = joinPath(ctx.folder, entry.path().filename().string());
        if (entry.is_regular_file(fileEc) && endsWithMsg(path) && named.count(path) == 0) {
            fs::remove(entry.path(), fileEc);
        }
    }
}

void startEndProgram(RunContext& ctx) {
    const std::string& program = ctx.state.settings.txtRUNPROGRAM;
    if (program.empty()) {
        return;
    }
    ctx.report.setStatus("Calling " + program);
    // Split as a shell would, but run no shell: the setting is a program and
    // its arguments, not a script.
    gchar** argv = nullptr;
    GError* error = nullptr;
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib starts the program through an
    // intermediate child that it reaps at once, so the program belongs to
    // init from the start: not waited for, and never left as our zombie.
    if (g_shell_parse_argv(program.c_str(), nullptr, &argv, &error)) {
        g_spawn_async(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                      &error);
        g_strfreev(argv);
    }
    if (error) {
        // Said once per run, with the path, so that it can be corrected.
        ctx.report.addLogLine("Could not start the program after the mail run: " + program + " (" +
                              error->message + ")");
        g_error_free(error);
    }
}

}  // namespace vorel
