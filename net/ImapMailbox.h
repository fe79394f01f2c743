#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/MailboxClient.h"

namespace vorel {

struct Session;

// The INBOX of an IMAP account over a connection libcurl has opened, secured
// and logged in: the mail component's mailbox, in place of Pop3Client, when
// the server setting is imap:// or imaps://.
//
// - Message numbers are the INBOX's sequence numbers when the session
//   started; every later command names its message by UID, so mail arriving
//   or leaving meanwhile changes nothing for the run.
// - Nothing is marked read (BODY.PEEK). Deletions are kept here and go out
//   only at finish(): one UID STORE of \Deleted, then UID EXPUNGE of exactly
//   those UIDs where UIDPLUS is offered (else EXPUNGE). A session that fails
//   midway leaves the mailbox as it found it, not even a flag set.
// - Headers of a scan are fetched in growing UID ranges (up to 256 a
//   command), the next range asked for before the current one is read, so
//   that a long scan costs few round trips and the server never waits.
// - The unique id of a message is "UIDVALIDITY.UID".
//
// Our own client on purpose: libcurl sends one IMAP command per transfer, and
// no packaged IMAP library works over the connection libcurl has opened.
class ImapMailbox : public MailboxClient {
public:
    explicit ImapMailbox(std::unique_ptr<Session> session);
    ~ImapMailbox() override;
    ImapMailbox(const ImapMailbox&) = delete;
    ImapMailbox& operator=(const ImapMailbox&) = delete;

    // CAPABILITY, SELECT INBOX, and the UID and size of every message.
    void start();
    void check() const override;
    bool broken() const override;
    const std::vector<long>& sizes() const override { return sizes_; }
    std::vector<std::string> uniqueIds() override;
    std::string header(long number) override;
    std::string message(long number) override;
    void markDeleted(long number) override { deleted_.insert(number); }
    bool isDeleted(long number) const override { return deleted_.count(number) != 0; }
    std::size_t deletedCount() const override { return deleted_.size(); }
    // Stores \Deleted on the messages marked, expunges them and logs out.
    void finish() override;
    const std::string& host() const;

    bool idleOffered() const { return idle_; }
    // Waits in IDLE until the server reports more messages than it last
    // did, `seconds` pass, or stop() says so; true for new mail. The
    // connection stays selected for the next wait.
    bool waitForNewMail(int seconds, const std::function<bool()>& stop);

private:
    struct Response;
    Response command(const std::string& text, const std::function<void(Response&)>& untagged);
    std::string send(const std::string& text);
    Response readUntil(const std::string& tag, const std::string& text,
                       const std::function<void(Response&)>& untagged);
    void askAhead();
    long uidOf(long number) const;
    Response readResponse(std::size_t literalLimit);
    std::string readBytes(std::size_t n);
    void noteUntagged(const Response& r);
    long numberOfUid(long uid) const;

    std::unique_ptr<Session> s_;
    std::set<long> deleted_;  // marked, for finish()
    long tag_ = 0;
    bool idle_ = false;
    bool uidplus_ = false;
    long exists_ = 0;
    std::string uidValidity_;
    std::vector<long> uids_;               // index = message number - 1; 0: not reported
    std::vector<long> sizes_;              // RFC822.SIZE, same index
    std::map<long, std::string> headers_;  // fetched ahead, by message number
    long window_ = 1;
    long nextAhead_ = 0;  // the message after the last header range asked for
    std::string ahead_;   // the tag of the header range in flight, if any
    long aheadFirst_ = 0, aheadLast_ = 0;
};

}  // namespace vorel
