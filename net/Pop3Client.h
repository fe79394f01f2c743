#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/MailComponent.h"
#include "net/MailboxClient.h"

namespace vorel {

struct Session;
struct SessionSettings;

// A POP3 mailbox over one connection, for the mail component.
//
// - libcurl connects and secures the connection; the login is ours
//   (popLogin), except with XOAUTH2, where libcurl logs in. An -ERR is just
//   a failed command (30008); a lost connection ends the session (10057),
//   its socket shut without QUIT so that nothing pending is committed.
// - The listing (LIST) is read once at login: the message count and the
//   sizes that tell a message cut short from a whole one.
// - When the server offers PIPELINING, header() asks for the next few
//   headers in the same write (a growing window, at most 64) and keeps that
//   many asked for while the scan goes on; RETR goes out in the same write
//   as the next headers. DELE goes out with the next command and is not
//   waited for; a refused DELE leaves its message counted on the server and
//   is raised by finish(), after the QUIT that commits the other deletions.
//   Replies are read in the order the commands went out, all through
//   readReply().
// - Downloads ahead (PIPELINING only): willFetch(n) sends RETR n at once,
//   behind what was asked before, while the bytes asked for or arrived and
//   not read stay within a window; message(n) then reads what arrived. A
//   refused RETR is raised by message(n). Headers handed out are kept for a
//   second read while the caller reads ahead (headersAhead()). When the
//   connection is lost, what arrived whole is still handed out until a call
//   that needs the connection fails; a header read that fails for it does
//   not count, as it may be a read ahead. From then on every call fails.
class Pop3Client : public MailboxClient {
public:
    explicit Pop3Client(const SessionSettings& settings);
    ~Pop3Client() override;
    Pop3Client(const Pop3Client&) = delete;
    Pop3Client& operator=(const Pop3Client&) = delete;

    // Connects, logs in and reads the listing; throws when any of it fails.
    void connect(const std::string& host, const std::string& user, const std::string& password);

    void check() const override;
    void checkRead() const override;
    bool broken() const override;
    const std::vector<long>& sizes() const override { return sizes_; }
    std::vector<std::string> uniqueIds() override;
    std::string header(long number) override;
    std::string message(long number) override;
    void markDeleted(long number) override;
    void willFetch(long number) override;
    int headersAhead() const override;
    bool isDeleted(long number) const override { return deleted_.count(number) != 0; }
    std::size_t deletedCount() const override { return deleted_.size(); }
    // QUIT commits the deletions; a refused DELE is raised after it.
    void finish() override;

private:
    // Replies asked for and not read yet, in the order they will come: TOP
    // of a message read ahead, DELE sent without waiting, or the command
    // whose reply command() waits for.
    enum class ReplyTo { Top, Dele, Retr, Command };
    struct Expected {
        long message;
        ReplyTo kind;
    };
    struct Reply {
        bool ok = false;
        std::string status;
        std::string text;  // a TOP reply's header lines
    };

    Session& session() const;
    // Sends one command and reads its status line after every reply still
    // due; a refused command throws, and the session goes on.
    // readAhead: the next headers of a scan go out in the same write.
    std::string command(const std::string& line, bool readAhead = false);
    // Reads the reply at the head of pending_; says whose it was.
    ReplyTo readReply();
    std::string readAheadCommands();
    void raiseDeleteFailure();
    // RETR for the hinted messages, in order, while they fit in the window.
    void askHinted();
    bool retrPending(long number) const;
    // The caller handles message `number` now: what it read ahead before
    // that is not wanted any more.
    void passTo(long number);
    void keepHeader(long number, const Reply& reply);
    bool lostUntold() const;

    const SessionSettings& settings_;
    std::unique_ptr<Session> s_;
    std::vector<long> sizes_;  // LIST at login, index = message number - 1
    std::set<long> deleted_;
    std::optional<MailError> deleteFailure_;  // a DELE refused, not reported yet
    std::deque<Expected> pending_;
    std::map<long, Reply> prefetched_;  // TOP replies read ahead
    Reply commandReply_;                // the last command()'s status
    std::size_t window_ = 1;
    long nextToAsk_ = 0;      // the message after the last TOP asked for
    bool scanAhead_ = false;  // the headers are read in order: keep asking ahead

    struct Body {
        bool ok = false;
        bool cutShort = false;  // ended before the size LIST gave
        std::string status;
        std::string raw;
    };
    std::map<long, Body> bodies_;  // downloads ahead that arrived, not read yet
    std::deque<long> hinted_;      // waiting for room in the window
    std::size_t bytesAhead_ = 0;   // asked for or arrived, not read yet
    long passed_ = 0;
    std::map<long, Reply> headersRead_;  // handed out, kept for a second read
    std::size_t headerBytes_ = 0;
    mutable bool lossTold_ = false;
};

}  // namespace vorel
