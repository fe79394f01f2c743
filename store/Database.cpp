#include "store/Database.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <variant>

#include "base/FileIo.h"
#include "base/Idn.h"
#include "store/AppFolder.h"
#include "store/Transaction.h"

namespace vorel {

namespace {

// The three tables as the system first made them; kSchema holds the rest.
constexpr const char* kCreateTables = R"sql(
CREATE TABLE autoresponders (
    Name TEXT COLLATE NOCASE, "To" TEXT, Subject TEXT, msgfrom TEXT, msgsubject TEXT,
    message TEXT, mailto TEXT, Counter INTEGER DEFAULT 0);
CREATE TABLE mailling (
    Name TEXT COLLATE NOCASE, Type INTEGER DEFAULT 0, textTOADD TEXT,
    subscribefrom TEXT, subscribesubject TEXT, subscribemessage TEXT,
    unsubscribefrom TEXT, unsubscribesubject TEXT, unsubscribemessage TEXT,
    sendtolistfrom TEXT, sendtolistsubject TEXT,
    onsubscribeto TEXT, onsubscribesubject TEXT,
    onunsubscribeto TEXT, onunsubscribesubject TEXT);
CREATE TABLE emails (name TEXT COLLATE NOCASE, Email TEXT COLLATE NOCASE);
)sql";

// Every field, table, trigger and index that came later, in the order they
// are added: a new database gets them all, the start-up upgrade what a file
// lacks, and a file that has them all is left alone. A new field is one line:
// {"table", "name", "TYPE"}, at the end of the list.
struct SchemaPart {
    const char* table;  // the table it goes into or beside: nothing is made without it
    const char* name;   // the field's, table's, trigger's or index's name
    const char* sql;    // a field's type, or the statement that makes the others
};
constexpr SchemaPart kSchema[] = {
    // A member's merge data, which the oldest files lack.
    {"emails", "Data", "TEXT"},
    // NULL in the rows it finds: those lists ask new subscribers to confirm.
    {"mailling", "confirm", "INTEGER"},
    // NULL: those lists send their copies from the list's address.
    {"mailling", "fromstyle", "INTEGER"},
    // Hard bounces of a member and the day of the last one.
    {"emails", "bounces", "INTEGER"},
    {"emails", "bounceday", "INTEGER"},
    // Not part of the three tables users and other tools know: what the
    // sending step must know of a queued record (see noteOutbound).
    {"emails", "outbound",
     "CREATE TABLE outbound (Digest TEXT PRIMARY KEY, Kind INTEGER NOT NULL, List TEXT NOT NULL,"
     " Queued INTEGER NOT NULL)"},
    {"outbound", "outbound_sent",
     "CREATE TRIGGER outbound_sent AFTER UPDATE OF Queued ON outbound WHEN NEW.Queued <= 0"
     " BEGIN DELETE FROM outbound WHERE Digest = NEW.Digest; END"},
    // The messages a run acted on, so that none is answered twice.
    {"emails", "handled", "CREATE TABLE handled (Key TEXT PRIMARY KEY)"},
    // Subscribe requests waiting for their confirmation (see PendingRequest).
    {"emails", "pending",
     "CREATE TABLE pending (List TEXT COLLATE NOCASE, Email TEXT COLLATE NOCASE, Data TEXT,"
     " Token TEXT UNIQUE, Asked INTEGER)"},
    {"pending", "pending_by_list_address",
     "CREATE INDEX pending_by_list_address ON pending(List COLLATE NOCASE, Email COLLATE NOCASE)"},
    // The list copies sent lately, so that a delivery report can prove it is
    // about one of them (see recordCopy).
    {"emails", "copies",
     "CREATE TABLE copies (MessageId TEXT PRIMARY KEY, List TEXT NOT NULL, Email TEXT NOT NULL,"
     " Sent INTEGER NOT NULL)"},
    {"copies", "copies_by_time", "CREATE INDEX copies_by_time ON copies(Sent)"},
    // Look-ups by name and by (list, address) must not scan. emails_by_list
    // keeps the members of one list in stored order, so listing them needs no sort.
    {"autoresponders", "autoresponders_by_name",
     "CREATE INDEX autoresponders_by_name ON autoresponders(Name COLLATE NOCASE)"},
    {"mailling", "mailling_by_name",
     "CREATE INDEX mailling_by_name ON mailling(Name COLLATE NOCASE)"},
    {"emails", "emails_by_list_address",
     "CREATE INDEX emails_by_list_address ON emails(name COLLATE NOCASE, Email COLLATE NOCASE)"},
    {"emails", "emails_by_list", "CREATE INDEX emails_by_list ON emails(name COLLATE NOCASE)"},
    // The autoresponders' active period and one reply per sender: three
    // fields, and who was answered when (a reply's entries go with its
    // autoresponder).
    {"autoresponders", "activefrom", "TEXT"},
    {"autoresponders", "activeuntil", "TEXT"},
    {"autoresponders", "replydays", "INTEGER"},
    {"autoresponders", "answered",
     "CREATE TABLE answered (Responder INTEGER NOT NULL, Email TEXT COLLATE NOCASE NOT NULL,"
     " Sent INTEGER NOT NULL, PRIMARY KEY (Responder, Email))"},
    {"autoresponders", "autoresponder_gone",
     "CREATE TRIGGER autoresponder_gone AFTER DELETE ON autoresponders BEGIN"
     " DELETE FROM answered WHERE Responder = OLD.rowid; END"},
    // Who may post to a list, and posts held for a confirmation or the owner
    // (store/HeldPosts.h).
    {"mailling", "postcheck", "INTEGER"},
    {"mailling", "holdnonmembers", "INTEGER"},
    {"emails", "held",
     "CREATE TABLE held (List TEXT COLLATE NOCASE NOT NULL, Email TEXT COLLATE NOCASE NOT NULL,"
     " CopyFrom TEXT NOT NULL, Subject TEXT NOT NULL, Body TEXT NOT NULL, Kept INTEGER NOT NULL,"
     " Why INTEGER NOT NULL, Token TEXT UNIQUE, Asked INTEGER NOT NULL DEFAULT 0)"},
    {"held", "held_by_list_address",
     "CREATE INDEX held_by_list_address ON held(List COLLATE NOCASE, Email COLLATE NOCASE)"},
};

constexpr int kBusyTimeoutMs = 10000;

// Appended to a ledger key for a message left on the server on purpose. A
// blank: no unique id (UIDL) holds one.
constexpr char kLeftMark[] = " left";

enum Query : std::size_t {
    kAllAutoresponders,
    kFindAutoresponder,
    kAddAutoresponder,
    kUpdateAutoresponder,
    kDeleteAutoresponder,
    kIncrementCounter,
    kAnsweredAt,
    kNoteAnswered,
    kStaleAnswered,
    kPruneAnswered,
    kAllLists,
    kFindList,
    kAddList,
    kUpdateList,
    kDeleteList,
    kMembers,
    kMemberCount,
    kFindMember,
    kMemberById,
    kSearchMembers,
    kAddMember,
    kUpdateMember,
    kDeleteMember,
    kDeleteMembersOf,
    kBounceRows,
    kSetBounces,
    kReleaseMember,
    kNoteOutbound,
    kFindOutbound,
    kSentOutbound,
    kIsHandled,
    kMarkHandled,
    kRecordCopy,
    kFindCopy,
    kBegin,
    kCommit,
    kRollback,
    kQueryCount
};

#define VOREL_AUTORESPONDER_COLUMNS                                                \
    "rowid, Name, \"To\", Subject, msgfrom, msgsubject, message, mailto, Counter," \
    " activefrom, activeuntil, coalesce(replydays, 0)"
#define VOREL_LIST_COLUMNS                                                             \
    "rowid, Name, Type, textTOADD, subscribefrom, subscribesubject, subscribemessage," \
    " unsubscribefrom, unsubscribesubject, unsubscribemessage, sendtolistfrom,"        \
    " sendtolistsubject, onsubscribeto, onsubscribesubject, onunsubscribeto,"          \
    " onunsubscribesubject, confirm, fromstyle, postcheck, holdnonmembers"
#define VOREL_MEMBER_COLUMNS \
    "rowid, name, Email, Data, coalesce(bounces, 0), coalesce(bounceday, 0)"

// Every value is bound; COLLATE NOCASE makes names and addresses match without
// regard to letter case and lets the NOCASE indexes serve the look-ups.
constexpr std::array<const char*, kQueryCount> kSql = {
    "SELECT " VOREL_AUTORESPONDER_COLUMNS " FROM autoresponders ORDER BY rowid",
    "SELECT " VOREL_AUTORESPONDER_COLUMNS
    " FROM autoresponders WHERE Name = ?1 COLLATE NOCASE ORDER BY rowid LIMIT 1",
    // An open side of the period and "every message" are stored NULL, as in
    // rows written before these fields existed.
    "INSERT INTO autoresponders (Name, \"To\", Subject, msgfrom, msgsubject, message, mailto,"
    " Counter, activefrom, activeuntil, replydays) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8,"
    " nullif(?9, ''), nullif(?10, ''), nullif(?11, 0))",
    "UPDATE autoresponders SET Name = ?2, \"To\" = ?3, Subject = ?4, msgfrom = ?5,"
    " msgsubject = ?6, message = ?7, mailto = ?8, Counter = ?9, activefrom = nullif(?10, ''),"
    " activeuntil = nullif(?11, ''), replydays = nullif(?12, 0) WHERE rowid = ?1",
    "DELETE FROM autoresponders WHERE rowid = ?1",
    "UPDATE autoresponders SET Counter = coalesce(Counter, 0) + 1 WHERE rowid = ?1",
    "SELECT Sent FROM answered WHERE Responder = ?1 AND Email = ?2",
    "INSERT INTO answered (Responder, Email, Sent) VALUES (?1, ?2, ?3)"
    " ON CONFLICT (Responder, Email) DO UPDATE SET Sent = ?3",
    "SELECT 1 FROM answered WHERE Responder NOT IN (SELECT rowid FROM autoresponders"
    " WHERE replydays > 0) OR Sent <= ?1 - 86400 * (SELECT max(replydays) FROM autoresponders)"
    " LIMIT 1",
    "DELETE FROM answered WHERE Responder NOT IN (SELECT rowid FROM autoresponders"
    " WHERE replydays > 0) OR Sent <= ?1 - 86400 * (SELECT max(replydays) FROM autoresponders)",
    "SELECT " VOREL_LIST_COLUMNS " FROM mailling ORDER BY rowid",
    "SELECT " VOREL_LIST_COLUMNS
    " FROM mailling WHERE Name = ?1 COLLATE NOCASE ORDER BY rowid LIMIT 1",
    "INSERT INTO mailling (Name, Type, textTOADD, subscribefrom, subscribesubject,"
    " subscribemessage, unsubscribefrom, unsubscribesubject, unsubscribemessage,"
    " sendtolistfrom, sendtolistsubject, onsubscribeto, onsubscribesubject, onunsubscribeto,"
    " onunsubscribesubject, confirm, fromstyle, postcheck, holdnonmembers) VALUES (?2, ?3, ?4,"
    " ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20)",
    "UPDATE mailling SET Name = ?2, Type = ?3, textTOADD = ?4, subscribefrom = ?5,"
    " subscribesubject = ?6, subscribemessage = ?7, unsubscribefrom = ?8,"
    " unsubscribesubject = ?9, unsubscribemessage = ?10, sendtolistfrom = ?11,"
    " sendtolistsubject = ?12, onsubscribeto = ?13, onsubscribesubject = ?14,"
    " onunsubscribeto = ?15, onunsubscribesubject = ?16, confirm = ?17,"
    " fromstyle = ?18, postcheck = ?19, holdnonmembers = ?20 WHERE rowid = ?1",
    "DELETE FROM mailling WHERE rowid = ?1",
    "SELECT " VOREL_MEMBER_COLUMNS " FROM emails WHERE name = ?1 COLLATE NOCASE ORDER BY rowid",
    "SELECT count(*) FROM emails WHERE name = ?1 COLLATE NOCASE",
    "SELECT " VOREL_MEMBER_COLUMNS
    " FROM emails WHERE name = ?1 COLLATE NOCASE AND Email = ?2 COLLATE NOCASE"
    " ORDER BY rowid LIMIT 1",
    "SELECT " VOREL_MEMBER_COLUMNS " FROM emails WHERE name = ?1 COLLATE NOCASE AND rowid = ?2",
    // instr on lowered text: a literal "contains", so %, _, * and ? are plain data.
    "SELECT " VOREL_MEMBER_COLUMNS
    " FROM emails WHERE name = ?1 COLLATE NOCASE"
    " AND instr(lower(Email), lower(?2)) > 0 ORDER BY rowid",
    "INSERT INTO emails (name, Email, Data) VALUES (?1, ?2, ?3)",
    "UPDATE emails SET name = ?2, Email = ?3, Data = ?4 WHERE rowid = ?1",
    "DELETE FROM emails WHERE rowid = ?1",
    "DELETE FROM emails WHERE name = ?1 COLLATE NOCASE",
    "SELECT " VOREL_MEMBER_COLUMNS
    " FROM emails WHERE Email = ?1 COLLATE NOCASE"
    " AND (?2 = '' OR name = ?2 COLLATE NOCASE) ORDER BY rowid",
    "UPDATE emails SET bounces = ?2, bounceday = ?3 WHERE rowid = ?1",
    "UPDATE emails SET bounces = 0 WHERE name = ?1 COLLATE NOCASE AND Email = ?2 COLLATE NOCASE"
    " AND bounces > 0",
    "INSERT INTO outbound (Digest, Kind, List, Queued) VALUES (?1, ?2, ?3, 1)"
    " ON CONFLICT (Digest) DO UPDATE SET Kind = ?2, List = ?3, Queued = Queued + 1",
    "SELECT Kind, List FROM outbound WHERE Digest = ?1",
    "UPDATE outbound SET Queued = Queued - 1 WHERE Digest = ?1",
    "SELECT 1 FROM handled WHERE Key = ?1",
    "INSERT OR IGNORE INTO handled (Key) VALUES (?1)",
    "INSERT OR REPLACE INTO copies (MessageId, List, Email, Sent) VALUES (?1, ?2, ?3, ?4)",
    "SELECT List, Email FROM copies WHERE MessageId = ?1",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
};

// Whether the open file is an SQLite database, asked of SQLite itself: the
// file is never opened and closed beside the process's connections, since
// closing any descriptor of it would drop every POSIX lock the process holds
// on it (and another program could then take the write-ahead log away). An
// empty file counts as none, because SQLite would take it for a new database
// and write to it. SQLITE_OK or SQLITE_NOTADB, else the error of the read.
int databaseCheck(sqlite3* db) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &s, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) {
            rc = sqlite3_column_int64(s, 0) > 0 ? SQLITE_OK : SQLITE_NOTADB;
        }
    }
    sqlite3_finalize(s);
    rc &= 0xFF;
    return rc == SQLITE_CANTOPEN ? SQLITE_NOTADB : rc;
}

std::string columnText(sqlite3_stmt* s, int col, std::size_t limit = SIZE_MAX) {
    const unsigned char* t = sqlite3_column_text(s, col);
    if (!t) {
        return {};  // NULL reads as empty text
    }
    std::size_t n = static_cast<std::size_t>(sqlite3_column_bytes(s, col));
    if (n > limit) {
        n = limit;  // not inside a UTF-8 sequence
        while (n > 0 && (t[n] & 0xC0) == 0x80) {
            --n;
        }
    }
    return std::string(reinterpret_cast<const char*>(t), n);
}

Autoresponder readAutoresponder(sqlite3_stmt* s) {
    Autoresponder a;
    a.id = sqlite3_column_int64(s, 0);
    a.Name = columnText(s, 1);
    a.To = columnText(s, 2);
    a.Subject = columnText(s, 3);
    a.msgfrom = columnText(s, 4);
    a.msgsubject = columnText(s, 5);
    a.message = columnText(s, 6);
    a.mailto = columnText(s, 7);
    a.Counter = sqlite3_column_int64(s, 8);
    a.activefrom = columnText(s, 9);
    a.activeuntil = columnText(s, 10);
    a.replydays = sqlite3_column_int64(s, 11);
    return a;
}

MailingList readList(sqlite3_stmt* s) {
    MailingList l;
    l.id = sqlite3_column_int64(s, 0);
    l.Name = columnText(s, 1);
    l.Type = sqlite3_column_int64(s, 2);
    l.textTOADD = columnText(s, 3);
    l.subscribefrom = columnText(s, 4);
    l.subscribesubject = columnText(s, 5);
    l.subscribemessage = columnText(s, 6);
    l.unsubscribefrom = columnText(s, 7);
    l.unsubscribesubject = columnText(s, 8);
    l.unsubscribemessage = columnText(s, 9);
    l.sendtolistfrom = columnText(s, 10);
    l.sendtolistsubject = columnText(s, 11);
    l.onsubscribeto = columnText(s, 12);
    l.onsubscribesubject = columnText(s, 13);
    l.onunsubscribeto = columnText(s, 14);
    l.onunsubscribesubject = columnText(s, 15);
    l.confirm = sqlite3_column_type(s, 16) == SQLITE_NULL || sqlite3_column_int64(s, 16) != 0;
    l.fromList = sqlite3_column_type(s, 17) == SQLITE_NULL || sqlite3_column_int64(s, 17) != 0;
    // Who may post: NULL (older rows) or a value out of range is the default.
    const std::int64_t check = sqlite3_column_int64(s, 18);
    l.postcheck = sqlite3_column_type(s, 18) == SQLITE_NULL || check < 0 || check > 2 ? 1 : check;
    l.holdnonmembers = sqlite3_column_int64(s, 19) != 0;
    return l;
}

Member readMember(sqlite3_stmt* s) {
    Member m;
    m.id = sqlite3_column_int64(s, 0);
    m.name = columnText(s, 1);
    m.Email = columnText(s, 2);
    m.Data = columnText(s, 3, kMemberDataLimit);  // rows stored before the cap, too
    m.bounces = sqlite3_column_int64(s, 4);
    m.bounceDay = sqlite3_column_int64(s, 5);
    return m;
}

// Whether the query, with `a` and `b` bound as ?1 and ?2, gives a row.
bool anyRow(sqlite3* db, const char* sql, const char* a = nullptr, const char* b = nullptr) {
    sqlite3_stmt* q = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, sql, -1, &q, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(q, 1, a, -1, SQLITE_STATIC);
        sqlite3_bind_text(q, 2, b, -1, SQLITE_STATIC);
        found = sqlite3_step(q) == SQLITE_ROW;
    }
    sqlite3_finalize(q);
    return found;
}

bool hasTable(sqlite3* db, const char* name) {
    return anyRow(
        db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE", name);
}

bool isField(const SchemaPart& part) {
    return std::strncmp(part.sql, "CREATE ", 7) != 0;
}

bool hasPart(sqlite3* db, const SchemaPart& part) {
    return isField(part) ? anyRow(db,
                                  "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2"
                                  " COLLATE NOCASE",
                                  part.table, part.name)
                         : anyRow(db, "SELECT 1 FROM sqlite_master WHERE name = ?1 COLLATE NOCASE",
                                  part.name);
}

std::string partSql(const SchemaPart& part) {
    return isField(part) ? std::string("ALTER TABLE ") + part.table + " ADD COLUMN " + part.name +
                               " " + part.sql
                         : part.sql;
}

void execIgnoringErrors(sqlite3* db, const char* sql) {
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// Member and pending addresses stored before every path kept them with
// readable domains: rewritten once, so that a look-up by the readable form
// finds them (user_version 1 says it is done). A row whose rewrite would
// repeat an existing member stays as it was.
void readableMemberAddresses(sqlite3* db) {
    auto readable = [](sqlite3_context* c, int, sqlite3_value** v) {
        const unsigned char* text = sqlite3_value_text(v[0]);
        if (text == nullptr) {
            sqlite3_result_null(c);
            return;
        }
        const std::string address = memberAddress(reinterpret_cast<const char*>(text));
        sqlite3_result_text(c, address.data(), static_cast<int>(address.size()), SQLITE_TRANSIENT);
    };
    if (sqlite3_create_function(db, "vorel_member_address", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                nullptr, readable, nullptr, nullptr) != SQLITE_OK) {
        return;
    }
    bool done = true;
    for (const char* table : {"emails", "pending"}) {
        if (hasTable(db, table)) {
            const std::string sql = std::string("UPDATE OR IGNORE ") + table +
                                    " SET Email = vorel_member_address(Email)"
                                    " WHERE Email LIKE '%xn--%'";
            done = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK && done;
        }
    }
    if (done) {
        execIgnoringErrors(db, "PRAGMA user_version = 1");
    }
}

// Whether every part of the schema is there and the member addresses are
// readable: then a start-up makes no statement fail.
bool schemaCurrent(sqlite3* db) {
    return std::all_of(std::begin(kSchema), std::end(kSchema),
                       [db](const SchemaPart& part) { return hasPart(db, part); }) &&
           anyRow(db, "SELECT 1 FROM pragma_user_version WHERE user_version >= 1");
}

}  // namespace

struct Database::Statements {
    std::array<sqlite3_stmt*, kQueryCount> cached{};
    int depth = 0;  // begin() calls not yet matched by commit()
    ~Statements() {
        for (sqlite3_stmt* s : cached) {
            sqlite3_finalize(s);
        }
    }
};

// One use of a prepared statement: binds, steps, and resets it on the way out.
// A cached statement that is still being stepped (a caller nested inside
// forEachMember) is not disturbed: the nested use gets a statement of its own.
class Database::Use {
public:
    Use(Database& db, Query q) : db_(db) {
        sqlite3_stmt*& slot = db.stmts_->cached[q];
        if (slot && !sqlite3_stmt_busy(slot)) {
            s_ = slot;
            return;
        }
        if (sqlite3_prepare_v3(db.db_, kSql[q], -1, SQLITE_PREPARE_PERSISTENT, &s_, nullptr) !=
            SQLITE_OK) {
            sqlite3_finalize(s_);
            s_ = nullptr;
            db.fail("cannot prepare a query");
        }
        if (!slot) {
            slot = s_;
        } else {
            owned_ = true;
        }
    }
    ~Use() {
        if (owned_) {
            sqlite3_finalize(s_);
        } else {
            sqlite3_reset(s_);
        }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    Use& text(int i, const std::string& v) {
        // The values outlive the statement's use, so SQLite need not copy them.
        check(sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC));
        return *this;
    }
    // The start of `v` of at most `limit` bytes, not cut inside a UTF-8 sequence.
    Use& text(int i, const std::string& v, std::size_t limit) {
        std::size_t n = std::min(v.size(), limit);
        while (n < v.size() && n > 0 && (static_cast<unsigned char>(v[n]) & 0xC0) == 0x80) {
            --n;
        }
        check(sqlite3_bind_text(s_, i, v.data(), static_cast<int>(n), SQLITE_STATIC));
        return *this;
    }
    Use& integer(int i, std::int64_t v) {
        check(sqlite3_bind_int64(s_, i, v));
        return *this;
    }
    // True while there is a row.
    bool step() {
        int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            db_.fail("query failed");
        }
        return false;
    }
    sqlite3_stmt* get() const { return s_; }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) {
            db_.fail("cannot bind a value");
        }
    }
    Database& db_;
    sqlite3_stmt* s_ = nullptr;
    bool owned_ = false;
};

Database::Database(sqlite3* db, std::string path)
    : db_(db), path_(std::move(path)), stmts_(std::make_unique<Statements>()) {}

Database::Database(Database&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)),
      path_(std::move(other.path_)),
      stmts_(std::move(other.stmts_)) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        stmts_.reset();
        sqlite3_close_v2(db_);
        db_ = std::exchange(other.db_, nullptr);
        path_ = std::move(other.path_);
        stmts_ = std::move(other.stmts_);
    }
    return *this;
}

Database::~Database() {
    stmts_.reset();  // statements before the connection
    sqlite3_close_v2(db_);
}

void Database::fail(const std::string& what) const {
    const std::string text =
        path_ + ": " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "no connection");
    const int code = db_ ? (sqlite3_extended_errcode(db_) & 0xFF) : SQLITE_OK;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
        throw StoreBusy(text);
    }
    throw StoreError(text);
}

Database Database::open(const std::string& path) {
    if (!fileExists(path)) {
        throw StoreError(path + ": the database file does not exist");
    }
    sqlite3* raw = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    Database db(raw, path);
    if (rc != SQLITE_OK) {
        db.fail("cannot open the database");
    }
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    sqlite3_extended_result_codes(raw, 1);
    rc = databaseCheck(raw);
    if (rc == SQLITE_NOTADB) {
        throw StoreError(path +
                         ": not an SQLite database (or unreadable); the file is left as it is");
    }
    if (rc != SQLITE_OK) {
        db.fail("cannot read the database");
    }

    // Reading the schema also proves that the file is a sound database.
    int found = 0;
    {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(raw,
                               "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND"
                               " lower(name) IN ('autoresponders', 'mailling', 'emails')",
                               -1, &s, nullptr) != SQLITE_OK) {
            sqlite3_finalize(s);
            db.fail("cannot read the database");
        }
        rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) {
            found = sqlite3_column_int(s, 0);
        }
        sqlite3_finalize(s);
        if (rc != SQLITE_ROW) {
            db.fail("cannot read the database");
        }
    }
    if (found < 3) {
        throw StoreError(path +
                         ": the database lacks the tables autoresponders, mailling and emails");
    }
    // WAL lets an editor read and write while a mail run holds the file.
    // Failing to switch (a read-only folder) leaves the default journal.
    execIgnoringErrors(raw, "PRAGMA journal_mode = WAL");
    execIgnoringErrors(raw, "PRAGMA synchronous = NORMAL");
    execIgnoringErrors(raw, "PRAGMA cache_size = -65536");
    return db;
}

void Database::createIfMissing(const std::string& path) {
    if (fileExists(path)) {
        return;
    }
    // Built under a temporary name and linked into place, so that a half-made
    // database never carries the real name and an existing file is never replaced.
    std::string error;
    const auto build = [&error](int, const std::string& tempPath) {
        sqlite3* raw = nullptr;
        int rc = sqlite3_open_v2(tempPath.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
        if (rc == SQLITE_OK) {
            // Nothing to rewrite: its member addresses are readable.
            std::string sql = std::string("BEGIN;") + kCreateTables;
            for (const SchemaPart& part : kSchema) {
                sql += partSql(part) + ";";
            }
            sql += "PRAGMA user_version = 1;COMMIT;";
            char* msg = nullptr;
            rc = sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, &msg);
            if (rc != SQLITE_OK) {
                error = msg ? msg : sqlite3_errstr(rc);
            }
            sqlite3_free(msg);
        } else {
            error = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        }
        sqlite3_close_v2(raw);
        return error.empty() ? 0 : EIO;
    };
    const int err = writeFileAtomically(path, 0600, build, ExistingFile::Keep);
    if (err != 0 && err != EEXIST) {
        // EEXIST: another program made it meanwhile, which is as good.
        throw StoreError(path + ": cannot create the database: " +
                         (error.empty() ? std::string(std::strerror(err)) : error));
    }
}

void Database::copy(const std::string& from, const std::string& to) {
    Database source = open(from);
    sqlite3* target = nullptr;
    int rc =
        sqlite3_open_v2(to.c_str(), &target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_backup* b = sqlite3_backup_init(target, "main", source.db_, "main");
        if (b == nullptr) {
            rc = sqlite3_errcode(target);
        } else {
            for (int wait = 0; wait < 100; ++wait) {
                rc = sqlite3_backup_step(b, -1);
                if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) {
                    break;
                }
                sqlite3_sleep(50);
            }
            rc = sqlite3_backup_finish(b);
        }
    }
    const std::string why = target != nullptr ? sqlite3_errmsg(target) : sqlite3_errstr(rc);
    sqlite3_close_v2(target);
    if (rc != SQLITE_OK) {
        throw StoreError(to + ": cannot copy the database: " + why);
    }
}

void Database::upgradeSchema(const std::string& path) noexcept {
    try {
        // Never touch a missing file or one that is not a database.
        if (!fileExists(path)) {
            return;
        }
        sqlite3* raw = nullptr;
        if (sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(raw, 2000);
            if (databaseCheck(raw) != SQLITE_OK || schemaCurrent(raw)) {
                sqlite3_close_v2(raw);
                return;
            }
            for (const SchemaPart& part : kSchema) {
                if (hasTable(raw, part.table) && !hasPart(raw, part)) {
                    execIgnoringErrors(raw, partSql(part).c_str());
                }
            }
            if (hasTable(raw, "emails")) {
                readableMemberAddresses(raw);
            }
        }
        sqlite3_close_v2(raw);
    } catch (...) {
    }
}

// autoresponders

std::vector<Autoresponder> Database::autoresponders() {
    std::vector<Autoresponder> rows;
    Use q(*this, kAllAutoresponders);
    while (q.step()) {
        rows.push_back(readAutoresponder(q.get()));
    }
    return rows;
}

std::optional<Autoresponder> Database::findAutoresponder(const std::string& name) {
    Use q(*this, kFindAutoresponder);
    q.text(1, name);
    if (q.step()) {
        return readAutoresponder(q.get());
    }
    return std::nullopt;
}

std::int64_t Database::addAutoresponder(const Autoresponder& row) {
    Use q(*this, kAddAutoresponder);
    q.text(1, row.Name).text(2, row.To).text(3, row.Subject).text(4, row.msgfrom);
    q.text(5, row.msgsubject).text(6, row.message).text(7, row.mailto).integer(8, row.Counter);
    q.text(9, row.activefrom).text(10, row.activeuntil).integer(11, row.replydays);
    q.step();
    return sqlite3_last_insert_rowid(db_);
}

void Database::updateAutoresponder(const Autoresponder& row) {
    Use q(*this, kUpdateAutoresponder);
    q.integer(1, row.id).text(2, row.Name).text(3, row.To).text(4, row.Subject);
    q.text(5, row.msgfrom).text(6, row.msgsubject).text(7, row.message).text(8, row.mailto);
    q.integer(9, row.Counter).text(10, row.activefrom).text(11, row.activeuntil);
    q.integer(12, row.replydays);
    q.step();
}

void Database::deleteAutoresponder(std::int64_t id) {
    Use q(*this, kDeleteAutoresponder);
    q.integer(1, id);
    q.step();
}

void Database::incrementCounter(std::int64_t autoresponderId) {
    Use q(*this, kIncrementCounter);
    q.integer(1, autoresponderId);
    q.step();
}

std::optional<std::int64_t> Database::answeredAt(std::int64_t autoresponderId,
                                                 const std::string& email) {
    Use q(*this, kAnsweredAt);
    q.integer(1, autoresponderId).text(2, email);
    if (q.step()) {
        return sqlite3_column_int64(q.get(), 0);
    }
    return std::nullopt;
}

void Database::noteAnswered(std::int64_t autoresponderId, const std::string& email,
                            std::int64_t when) {
    Use q(*this, kNoteAnswered);
    q.integer(1, autoresponderId).text(2, email).integer(3, when);
    q.step();
}

void Database::pruneAnswered(std::int64_t now) {
    {
        // A read first: a run with nothing to prune takes no write lock.
        Use stale(*this, kStaleAnswered);
        stale.integer(1, now);
        if (!stale.step()) {
            return;
        }
    }
    Use q(*this, kPruneAnswered);
    q.integer(1, now);
    q.step();
}

// mailling

std::vector<MailingList> Database::lists() {
    std::vector<MailingList> rows;
    Use q(*this, kAllLists);
    while (q.step()) {
        rows.push_back(readList(q.get()));
    }
    return rows;
}

std::optional<MailingList> Database::findList(const std::string& name) {
    Use q(*this, kFindList);
    q.text(1, name);
    if (q.step()) {
        return readList(q.get());
    }
    return std::nullopt;
}

namespace {
template <class U>
void bindList(U& q, const MailingList& l) {
    q.text(2, l.Name).integer(3, l.Type).text(4, l.textTOADD);
    q.text(5, l.subscribefrom).text(6, l.subscribesubject).text(7, l.subscribemessage);
    q.text(8, l.unsubscribefrom).text(9, l.unsubscribesubject).text(10, l.unsubscribemessage);
    q.text(11, l.sendtolistfrom).text(12, l.sendtolistsubject);
    q.text(13, l.onsubscribeto).text(14, l.onsubscribesubject);
    q.text(15, l.onunsubscribeto).text(16, l.onunsubscribesubject);
    q.integer(17, l.confirm ? 1 : 0);
    q.integer(18, l.fromList ? 1 : 0);
    q.integer(19, l.postcheck);
    q.integer(20, l.holdnonmembers ? 1 : 0);
}
}  // namespace

std::int64_t Database::addList(const MailingList& row) {
    Use q(*this, kAddList);
    bindList(q, row);
    q.step();
    return sqlite3_last_insert_rowid(db_);
}

void Database::updateList(const MailingList& row) {
    Use q(*this, kUpdateList);
    q.integer(1, row.id);
    bindList(q, row);
    q.step();
}

void Database::deleteList(std::int64_t id) {
    Use q(*this, kDeleteList);
    q.integer(1, id);
    q.step();
}

// emails

std::vector<Member> Database::members(const std::string& listName) {
    std::vector<Member> rows;
    forEachMember(listName, [&rows](const Member& m) { rows.push_back(m); });
    return rows;
}

void Database::forEachMember(const std::string& listName,
                             const std::function<void(const Member&)>& fn) {
    Use q(*this, kMembers);
    q.text(1, listName);
    while (q.step()) {
        fn(readMember(q.get()));
    }
}

std::int64_t Database::memberCount(const std::string& listName) {
    Use q(*this, kMemberCount);
    q.text(1, listName);
    return q.step() ? sqlite3_column_int64(q.get(), 0) : 0;
}

std::optional<Member> Database::findMember(const std::string& listName, const std::string& email) {
    const std::string address = memberAddress(email);  // bound, not copied: kept to the end
    Use q(*this, kFindMember);
    q.text(1, listName).text(2, address);
    if (q.step()) {
        return readMember(q.get());
    }
    return std::nullopt;
}

std::optional<Member> Database::findMemberById(const std::string& listName, std::int64_t id) {
    Use q(*this, kMemberById);
    q.text(1, listName).integer(2, id);
    if (q.step()) {
        return readMember(q.get());
    }
    return std::nullopt;
}

std::vector<Member> Database::searchMembers(const std::string& listName, const std::string& text) {
    std::vector<Member> rows;
    const std::string address = memberAddress(text);
    Use q(*this, kSearchMembers);
    q.text(1, listName).text(2, address);
    while (q.step()) {
        rows.push_back(readMember(q.get()));
    }
    return rows;
}

std::int64_t Database::addMember(const Member& row) {
    const std::string address = memberAddress(row.Email);
    Use q(*this, kAddMember);
    q.text(1, row.name).text(2, address).text(3, row.Data, kMemberDataLimit);
    q.step();
    return sqlite3_last_insert_rowid(db_);
}

void Database::updateMember(const Member& row) {
    const std::string address = memberAddress(row.Email);
    Use q(*this, kUpdateMember);
    q.integer(1, row.id).text(2, row.name).text(3, address).text(4, row.Data, kMemberDataLimit);
    q.step();
}

void Database::deleteMember(std::int64_t id) {
    Use q(*this, kDeleteMember);
    q.integer(1, id);
    q.step();
}

void Database::deleteMembersOf(const std::string& listName) {
    Use q(*this, kDeleteMembersOf);
    q.text(1, listName);
    q.step();
}

std::vector<Member> Database::recordBounce(const std::string& email, const std::string& listName,
                                           std::int64_t today) {
    // Read and counted together: a count read twice would be raised once.
    Transaction t(*this);
    std::vector<Member> rows;
    {
        const std::string address = memberAddress(email);
        Use q(*this, kBounceRows);
        q.text(1, address).text(2, listName);
        while (q.step()) {
            rows.push_back(readMember(q.get()));
        }
    }
    std::vector<Member> counted;
    for (Member& m : rows) {
        if (m.bounces > 0 && m.bounceDay == today) {
            continue;  // once a day
        }
        m.bounces = m.bounces > 0 && today - m.bounceDay <= kBounceResetDays ? m.bounces + 1 : 1;
        m.bounceDay = today;
        Use u(*this, kSetBounces);
        u.integer(1, m.id).integer(2, m.bounces).integer(3, m.bounceDay);
        u.step();
        counted.push_back(m);
    }
    t.commit();
    return counted;
}

void Database::releaseMember(const std::string& listName, const std::string& email) {
    const std::string address = memberAddress(email);
    Use q(*this, kReleaseMember);
    q.text(1, listName).text(2, address);
    q.step();
}

// outbound

void Database::noteOutbound(const std::string& digest, OutboundKind kind,
                            const std::string& listName) {
    Use q(*this, kNoteOutbound);
    q.text(1, digest).integer(2, static_cast<std::int64_t>(kind)).text(3, listName);
    q.step();
}

std::optional<OutboundNote> Database::findOutbound(const std::string& digest) {
    Use q(*this, kFindOutbound);
    q.text(1, digest);
    if (!q.step()) {
        return std::nullopt;
    }
    return OutboundNote{static_cast<OutboundKind>(sqlite3_column_int64(q.get(), 0)),
                        columnText(q.get(), 1)};
}

// copies

void Database::recordCopy(const std::string& messageId, const std::string& listName,
                          const std::string& email, std::int64_t sent) {
    Use q(*this, kRecordCopy);
    q.text(1, messageId).text(2, listName).text(3, email).integer(4, sent);
    q.step();
}

std::optional<SentCopy> Database::findCopy(const std::string& messageId) {
    Use q(*this, kFindCopy);
    q.text(1, messageId);
    if (!q.step()) {
        return std::nullopt;
    }
    return SentCopy{columnText(q.get(), 0), columnText(q.get(), 1)};
}

std::int64_t Database::forgetCopiesBefore(std::int64_t sent) {
    pendingQuery("DELETE FROM copies WHERE Sent < ?1", {sent});
    return sqlite3_changes(db_);
}

bool Database::isHandled(const std::string& key) {
    Use q(*this, kIsHandled);
    q.text(1, key);
    return q.step();
}

void Database::markHandled(const std::string& key) {
    Use q(*this, kMarkHandled);
    q.text(1, key);
    q.step();
}

void Database::markLeft(const std::string& key) {
    markHandled(key + kLeftMark);
}

bool Database::isLeft(const std::string& key) {
    return isHandled(key + kLeftMark);
}

void Database::pruneHandled(const std::string& prefix, const std::vector<std::string>& keep) {
    Transaction t(*this);
    for (const char* sql : {"CREATE TEMP TABLE IF NOT EXISTS keep_handled (Key TEXT PRIMARY KEY)",
                            "DELETE FROM keep_handled"}) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail("cannot prune the ledger");
        }
    }
    sqlite3_stmt* add = nullptr;
    if (sqlite3_prepare_v2(db_, "INSERT OR IGNORE INTO keep_handled VALUES (?1)", -1, &add,
                           nullptr) != SQLITE_OK) {
        fail("cannot prepare a query");
    }
    for (const std::string& kept : keep) {
        for (const std::string& key : {kept, kept + kLeftMark}) {
            sqlite3_bind_text(add, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
            const int rc = sqlite3_step(add);
            sqlite3_reset(add);
            if (rc != SQLITE_DONE) {  // a key missing from the kept set would be pruned
                sqlite3_finalize(add);
                fail("cannot prune the ledger");
            }
        }
    }
    sqlite3_finalize(add);
    queryRows(
        "DELETE FROM handled WHERE substr(Key, 1, length(?1)) = ?1"
        " AND Key NOT IN (SELECT Key FROM keep_handled)",
        {prefix}, [](sqlite3_stmt*) {}, " while pruning the ledger");
    t.commit();
}

void Database::outboundSent(const std::string& digest) {
    Use q(*this, kSentOutbound);
    q.text(1, digest);
    q.step();
}

void Database::begin() {
    if (stmts_->depth == 0) {
        Use q(*this, kBegin);
        q.step();
    }
    ++stmts_->depth;
}

void Database::commit() {
    if (stmts_->depth == 0) {
        return;  // rolled back meanwhile: nothing left to commit
    }
    if (stmts_->depth == 1) {
        Use q(*this, kCommit);
        q.step();
    }
    --stmts_->depth;
}

void Database::rollback() noexcept {
    if (stmts_) {
        stmts_->depth = 0;
    }
    if (!db_ || sqlite3_get_autocommit(db_)) {
        return;
    }
    execIgnoringErrors(db_, "ROLLBACK");
}

void Database::mark() {
    if (sqlite3_exec(db_, "SAVEPOINT vorel_mark", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail("cannot begin a savepoint");
    }
}

void Database::releaseMark() {
    if (sqlite3_exec(db_, "RELEASE vorel_mark", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail("cannot release a savepoint");
    }
}

void Database::rollbackToMark() noexcept {
    if (db_ && !sqlite3_get_autocommit(db_)) {
        execIgnoringErrors(db_, "ROLLBACK TO vorel_mark");
        execIgnoringErrors(db_, "RELEASE vorel_mark");
    }
}

void Database::setCacheKb(int kb) {
    const std::string sql = "PRAGMA cache_size = -" + std::to_string(kb);
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail("cannot set the cache size");
    }
}

bool Database::inTransaction() const {
    return db_ && !sqlite3_get_autocommit(db_);
}

// pending: rare writes, so the statements are prepared for each use.

namespace {

PendingRequest readPending(sqlite3_stmt* s) {
    PendingRequest p;
    p.id = sqlite3_column_int64(s, 0);
    p.list = columnText(s, 1);
    p.Email = columnText(s, 2);
    p.Data = columnText(s, 3);
    p.Token = columnText(s, 4);
    p.Asked = sqlite3_column_int64(s, 5);
    return p;
}

}  // namespace

void Database::queryRows(const char* sql, const std::vector<PendingValue>& values,
                         const std::function<void(sqlite3_stmt*)>& row, const std::string& what) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
        sqlite3_finalize(s);
        fail("cannot prepare a query" + what);
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int n = static_cast<int>(i + 1);
        if (const auto* text = std::get_if<std::string>(&values[i])) {
            sqlite3_bind_text(s, n, text->data(), static_cast<int>(text->size()), SQLITE_STATIC);
        } else {
            sqlite3_bind_int64(s, n, std::get<std::int64_t>(values[i]));
        }
    }
    int rc = 0;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        row(s);
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) {
        fail("query failed" + what);
    }
}

std::vector<PendingRequest> Database::pendingQuery(const std::string& sql,
                                                   const std::vector<PendingValue>& values) {
    std::vector<PendingRequest> rows;
    queryRows(
        sql.c_str(), values, [&rows](sqlite3_stmt* s) { rows.push_back(readPending(s)); }, "");
    return rows;
}

#define VOREL_PENDING_SELECT "SELECT rowid, List, Email, Data, Token, Asked FROM pending "

std::vector<PendingRequest> Database::pendingOf(const std::string& listName) {
    return pendingQuery(VOREL_PENDING_SELECT "WHERE List = ?1 ORDER BY rowid", {listName});
}

std::optional<PendingRequest> Database::findPending(const std::string& listName,
                                                    const std::string& email) {
    std::vector<PendingRequest> rows =
        pendingQuery(VOREL_PENDING_SELECT "WHERE List = ?1 AND Email = ?2 ORDER BY rowid LIMIT 1",
                     {listName, memberAddress(email)});
    return rows.empty() ? std::nullopt : std::optional(rows.front());
}

std::optional<PendingRequest> Database::findPendingToken(const std::string& token) {
    std::vector<PendingRequest> rows =
        pendingQuery(VOREL_PENDING_SELECT "WHERE Token = ?1", {token});
    return rows.empty() ? std::nullopt : std::optional(rows.front());
}

std::int64_t Database::addPending(const PendingRequest& row) {
    Transaction t(*this);
    const std::string email = memberAddress(row.Email);
    pendingQuery("DELETE FROM pending WHERE List = ?1 AND Email = ?2", {row.list, email});
    pendingQuery(
        "INSERT INTO pending (List, Email, Data, Token, Asked)"
        " VALUES (?1, ?2, ?3, ?4, ?5)",
        {row.list, email, row.Data, row.Token, row.Asked});
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    t.commit();
    return id;
}

void Database::deletePending(std::int64_t id) {
    pendingQuery("DELETE FROM pending WHERE rowid = ?1", {id});
}

void Database::deletePendingOf(const std::string& listName) {
    pendingQuery("DELETE FROM pending WHERE List = ?1", {listName});
}

std::int64_t Database::deletePendingBefore(std::int64_t asked) {
    pendingQuery("DELETE FROM pending WHERE Asked < ?1", {asked});
    return sqlite3_changes(db_);
}

}  // namespace vorel
