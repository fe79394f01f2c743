#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vorel {

// A failure of data.mdb: the message names the file and what went wrong.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// data.mdb stayed locked by another connection (an editor with unsaved
// changes, say) for longer than the busy time-out.
class StoreBusy : public StoreError {
public:
    using StoreError::StoreError;
};

// Rows carry their rowid in `id`; 0 means "not stored yet".
struct Autoresponder {
    std::int64_t id = 0;
    std::string Name, To, Subject, msgfrom, msgsubject, message, mailto;
    std::int64_t Counter = 0;
    // The period in which it answers, local time "YYYY-MM-DD HH:MM:SS";
    // empty (stored NULL) leaves that side open. activeuntil is the first
    // moment it no longer answers.
    std::string activefrom{}, activeuntil{};
    // One reply per sender every this many days; 0 (stored NULL) answers
    // every message.
    std::int64_t replydays = 0;
};

struct MailingList {
    std::int64_t id = 0;
    std::string Name;
    std::int64_t Type = 0;
    std::string textTOADD;
    std::string subscribefrom, subscribesubject, subscribemessage;
    std::string unsubscribefrom, unsubscribesubject, unsubscribemessage;
    std::string sendtolistfrom, sendtolistsubject;
    std::string onsubscribeto, onsubscribesubject;
    std::string onunsubscribeto, onunsubscribesubject;
    // Ask new subscribers to confirm by e-mail; stored NULL (a row that older
    // versions or other tools wrote) means yes.
    bool confirm = true;
    // Copies go out from the list's address with the poster in Reply-To (a
    // provider refuses or rewrites a From the account does not own, and
    // receivers apply the poster's DMARC policy); false: from the poster.
    // Column fromstyle, NULL or 1 = from the list.
    bool fromList = true;
    // Who may post (column postcheck, NULL = 1): 0 any member by From, 1 a
    // member the provider vouches for or who confirms, 2 held for the owner.
    std::int64_t postcheck = 1;
    // Posts from non-members are held for the owner (NULL or 0: ignored).
    bool holdnonmembers = false;
};

// A member's Data is the message text of a subscribe request, which stops at
// about 32,000 characters; nothing longer is stored, whichever path writes it.
inline constexpr std::size_t kMemberDataLimit = 33000;

struct Member {
    std::int64_t id = 0;
    std::string name;  // the list's Name
    std::string Email;
    std::string Data;
    // Hard bounces counted (one a day at most) and the day of the last one
    // (days since the epoch); written only by recordBounce and releaseMember.
    std::int64_t bounces = 0;
    std::int64_t bounceDay = 0;
};

// Hard bounces that hold a member: no more copies until released.
inline constexpr std::int64_t kBouncesToHold = 3;
// Days without a bounce after which the count starts again.
inline constexpr std::int64_t kBounceResetDays = 30;
// Whether the member is held on `today` (days since the epoch).
inline bool isHeld(const Member& m, std::int64_t today) {
    return m.bounces >= kBouncesToHold && today - m.bounceDay <= kBounceResetDays;
}

// A subscribe request waiting for its confirmation: the request's message
// text (the member's merge data once confirmed), its token and when it came
// (seconds since the epoch).
struct PendingRequest {
    std::int64_t id = 0;
    std::string list;  // the list's Name
    std::string Email;
    std::string Data;
    std::string Token;
    std::int64_t Asked = 0;
};

// What a queued record does not say of itself (the queue's format is fixed):
// an automatic reply, or a copy that a list distributes.
enum class OutboundKind : std::int64_t { AutoReply = 1, ListCopy = 2 };
struct OutboundNote {
    OutboundKind kind;
    std::string list;  // the list's Name, for a list copy
};

// A list copy sent lately (table copies): its list and member, by Message-ID.
struct SentCopy {
    std::string list;
    std::string email;
};

// data.mdb: an SQLite 3 database with the tables autoresponders, mailling and
// emails. Look-ups compare without regard to letter case and bind every value,
// so apostrophes and wildcard characters in names and addresses are plain
// data. Member and pending addresses are stored and looked up in one form
// (memberAddress in base/Idn.h: readable domains). Rows are returned in insertion order. WAL mode
// and a busy timeout let an editor and a running mail run share the file.
class Database {
public:
    // Every failure throws StoreError (StoreBusy when the file stayed locked).
    // Opens an existing database; throws StoreError naming the file when it
    // is missing, not an SQLite database, or damaged. Never creates or repairs.
    static Database open(const std::string& path);
    // Creates the database with its tables when the file does not exist.
    // An existing file is left alone. Throws StoreError on failure.
    static void createIfMissing(const std::string& path);
    // Start-up schema upgrade: adds the fields, tables and indexes the file
    // lacks (the Data field of emails, the oldest); every failure (file
    // missing or locked, not a database) is ignored.
    static void upgradeSchema(const std::string& path) noexcept;
    // A copy of the database at `from` (with what its write-ahead log holds)
    // made through SQLite as a new file `to`; throws StoreError as open does.
    static void copy(const std::string& from, const std::string& to);

    Database(Database&&) noexcept;
    Database& operator=(Database&&) noexcept;
    ~Database();

    const std::string& path() const { return path_; }

    // autoresponders
    std::vector<Autoresponder> autoresponders();
    std::optional<Autoresponder> findAutoresponder(const std::string& name);
    std::int64_t addAutoresponder(const Autoresponder& row);  // returns the new id
    void updateAutoresponder(const Autoresponder& row);       // by id
    void deleteAutoresponder(std::int64_t id);
    void incrementCounter(std::int64_t autoresponderId);  // Counter + 1, stored at once
    // When the autoresponder last replied to `email` (seconds since the
    // epoch), as noteAnswered kept it; none when it has not (table answered,
    // made by upgradeSchema, as are the columns above).
    std::optional<std::int64_t> answeredAt(std::int64_t autoresponderId, const std::string& email);
    void noteAnswered(std::int64_t autoresponderId, const std::string& email, std::int64_t when);
    // Drops the replies that no longer hold anything back at `now`: those of
    // autoresponders that answer every message (or are gone), and those older
    // than the longest period in use.
    void pruneAnswered(std::int64_t now);

    // mailling
    std::vector<MailingList> lists();
    std::optional<MailingList> findList(const std::string& name);
    std::int64_t addList(const MailingList& row);
    void updateList(const MailingList& row);
    void deleteList(std::int64_t id);

    // emails
    std::vector<Member> members(const std::string& listName);
    // Streams the members of one list in stored order without holding them all.
    void forEachMember(const std::string& listName, const std::function<void(const Member&)>& fn);
    std::int64_t memberCount(const std::string& listName);
    std::optional<Member> findMember(const std::string& listName, const std::string& email);
    // The member row `id`, when it is one of the list's.
    std::optional<Member> findMemberById(const std::string& listName, std::int64_t id);
    // Members of one list whose address contains `text`, literally, ignoring case.
    std::vector<Member> searchMembers(const std::string& listName, const std::string& text);
    std::int64_t addMember(const Member& row);
    void updateMember(const Member& row);
    void deleteMember(std::int64_t id);
    void deleteMembersOf(const std::string& listName);
    // A hard bounce of `email` on `today`: counted once a day for each list
    // it is a member of (only `listName` when given); returns the rows
    // counted now, with their new count.
    std::vector<Member> recordBounce(const std::string& email, const std::string& listName,
                                     std::int64_t today);
    // The member's count starts again (a release, its own subscribe or post).
    void releaseMember(const std::string& listName, const std::string& email);

    // Pending subscribe requests (table pending, made by upgradeSchema). One
    // per list and address: adding replaces an earlier one.
    std::vector<PendingRequest> pendingOf(const std::string& listName);
    std::optional<PendingRequest> findPending(const std::string& listName,
                                              const std::string& email);
    std::optional<PendingRequest> findPendingToken(const std::string& token);
    std::int64_t addPending(const PendingRequest& row);
    void deletePending(std::int64_t id);
    void deletePendingOf(const std::string& listName);
    // Drops the requests asked before `asked` (seconds); returns how many.
    std::int64_t deletePendingBefore(std::int64_t asked);

    // List copies sent, by their Message-ID (table copies, made by
    // upgradeSchema): a delivery report that returns one is about that copy.
    void recordCopy(const std::string& messageId, const std::string& listName,
                    const std::string& email, std::int64_t sent);
    std::optional<SentCopy> findCopy(const std::string& messageId);
    // Drops the copies sent before `sent` (seconds); returns how many.
    std::int64_t forgetCopiesBefore(std::int64_t sent);

    // Notes on queued records, keyed by a digest of the record: each note
    // counts the records queued under it and goes when the last is sent. The
    // table is made by upgradeSchema; without it these throw StoreError.
    void noteOutbound(const std::string& digest, OutboundKind kind, const std::string& listName);
    std::optional<OutboundNote> findOutbound(const std::string& digest);
    void outboundSent(const std::string& digest);

    // The ledger of messages a run acted on, by key (see the run driver).
    bool isHandled(const std::string& key);
    void markHandled(const std::string& key);
    // A message judged once and left on the server on purpose (a delivery
    // report that is not about a copy we sent): later runs pass over it
    // without a word and never delete it. Pruned with its key.
    void markLeft(const std::string& key);
    bool isLeft(const std::string& key);
    // Drops the entries that start with `prefix` and are not in `keep`.
    void pruneHandled(const std::string& prefix, const std::vector<std::string>& keep);

    // Groups many writes (imports, bulk adds, the handling of one message)
    // into one transaction. Nested pairs join the outermost one; a rollback
    // ends it whatever the depth. Callers use the guard in
    // store/Transaction.h, which rolls back whatever does not reach commit.
    void begin();
    void commit();
    void rollback() noexcept;
    // A mark inside the open transaction (a savepoint, through the Savepoint
    // guard): rollbackToMark undoes what came after it, such as one message's
    // changes in a group of messages, and keeps the rest. Marks do not nest.
    void mark();
    void releaseMark();
    void rollbackToMark() noexcept;
    // The page cache's bound in KiB (64 MiB unless set): a bulk job that
    // touches pages once each keeps its memory small with less.
    void setCacheKb(int kb);
    static constexpr int kDefaultCacheKb = 65536;
    // Whether a transaction is open: SQLite ends one by itself after some
    // failures (a full disk, an I/O error).
    bool inTransaction() const;

private:
    friend class HeldPosts;  // the held-post store (store/HeldPosts.h)
    class Use;
    Database(sqlite3* db, std::string path);
    [[noreturn]] void fail(const std::string& what) const;
    // One statement with `values` bound to ?1, ?2 ...: each row it returns goes to `row`; a failure
    // says `what`.
    using PendingValue = std::variant<std::string, std::int64_t>;
    void queryRows(const char* sql, const std::vector<PendingValue>& values,
                   const std::function<void(sqlite3_stmt*)>& row, const std::string& what);
    // One statement on the pending table: the rows it returns.
    std::vector<PendingRequest> pendingQuery(const std::string& sql,
                                             const std::vector<PendingValue>& values);
    struct Statements;
    sqlite3* db_ = nullptr;
    std::string path_;
    std::unique_ptr<Statements> stmts_;
};

}  // namespace vorel
