#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vorel {

// The mailbox the component reads, over POP3 (Pop3Client) or IMAP
// (ImapMailbox). Messages are numbered from 1 as they were at login; a
// number out of range or marked deleted is the caller's to refuse.
class MailboxClient {
public:
    virtual ~MailboxClient() = default;

    // Throws 10057 when the session was lost.
    virtual void check() const = 0;
    // check() before reading a header or a message or marking one deleted,
    // which may be done from what already arrived.
    virtual void checkRead() const { check(); }
    virtual bool broken() const = 0;
    // Every message's size at login, index = message number - 1.
    virtual const std::vector<long>& sizes() const = 0;
    // Every message's unique id, same index; empty when the server keeps none.
    virtual std::vector<std::string> uniqueIds() = 0;
    // The header lines of a message, and the whole message as received.
    virtual std::string header(long number) = 0;
    virtual std::string message(long number) = 0;
    // MailComponent::willFetch and headersAhead: none by default.
    virtual void willFetch(long number) { (void)number; }
    virtual int headersAhead() const { return 0; }
    // Marks a message deleted; committed by finish().
    virtual void markDeleted(long number) = 0;
    virtual bool isDeleted(long number) const = 0;
    virtual std::size_t deletedCount() const = 0;
    // Commits the deletions and logs out.
    virtual void finish() = 0;
};

}  // namespace vorel
