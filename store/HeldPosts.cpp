#include "store/HeldPosts.h"

#include <sqlite3.h>

#include "base/Idn.h"

namespace vorel {

namespace {

std::string columnText(sqlite3_stmt* s, int i) {
    const auto* text = sqlite3_column_text(s, i);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
                : std::string();
}

#define VOREL_HELD_SELECT \
    "SELECT rowid, List, Email, CopyFrom, Subject, Body, Kept, Why, Token, Asked FROM held "

}  // namespace

std::vector<HeldPost> HeldPosts::query(const char* sql,
                                       const std::vector<Database::PendingValue>& values) {
    std::vector<HeldPost> rows;
    db_.queryRows(
        sql, values,
        [&rows](sqlite3_stmt* s) {
            HeldPost p;
            p.id = sqlite3_column_int64(s, 0);
            p.list = columnText(s, 1);
            p.Email = columnText(s, 2);
            p.copyFrom = columnText(s, 3);
            p.Subject = columnText(s, 4);
            p.Body = columnText(s, 5);
            p.Kept = sqlite3_column_int64(s, 6);
            const std::int64_t why = sqlite3_column_int64(s, 7);
            p.why = why == 1 ? HeldWhy::Member : why == 3 ? HeldWhy::NonMember : HeldWhy::Owner;
            p.Token = columnText(s, 8);
            p.Asked = sqlite3_column_int64(s, 9);
            rows.push_back(std::move(p));
        },
        " on held posts");
    return rows;
}

std::vector<HeldPost> HeldPosts::of(const std::string& listName) {
    return query(VOREL_HELD_SELECT "WHERE List = ?1 ORDER BY rowid", {listName});
}

std::optional<HeldPost> HeldPosts::find(const std::string& listName, std::int64_t id) {
    auto rows = query(VOREL_HELD_SELECT "WHERE List = ?1 AND rowid = ?2", {listName, id});
    return rows.empty() ? std::nullopt : std::optional(std::move(rows.front()));
}

std::optional<HeldPost> HeldPosts::findToken(const std::string& token) {
    auto rows = query(VOREL_HELD_SELECT "WHERE Token = ?1", {token});
    return rows.empty() ? std::nullopt : std::optional(std::move(rows.front()));
}

std::vector<HeldPost> HeldPosts::waitingOf(const std::string& listName, const std::string& email) {
    return query(VOREL_HELD_SELECT "WHERE List = ?1 AND Email = ?2 AND Why = 1 ORDER BY rowid",
                 {listName, memberAddress(email)});
}

std::vector<HeldPost> HeldPosts::notAsked(std::size_t most) {
    return query(VOREL_HELD_SELECT "WHERE Why = 1 AND Asked = 0 ORDER BY rowid LIMIT ?1",
                 {static_cast<std::int64_t>(most)});
}

std::int64_t HeldPosts::add(const HeldPost& p) {
    query(
        "INSERT INTO held (List, Email, CopyFrom, Subject, Body, Kept, Why, Token, Asked)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, nullif(?8, ''), ?9)",
        {p.list, memberAddress(p.Email), p.copyFrom, p.Subject, p.Body, p.Kept,
         static_cast<std::int64_t>(p.why), p.Token, p.Asked});
    return sqlite3_last_insert_rowid(db_.db_);
}

void HeldPosts::asked(std::int64_t id, const std::string& token, std::int64_t when) {
    query("UPDATE held SET Token = ?2, Asked = ?3 WHERE rowid = ?1", {id, token, when});
}

void HeldPosts::remove(std::int64_t id) {
    query("DELETE FROM held WHERE rowid = ?1", {id});
}

void HeldPosts::removeOf(const std::string& listName) {
    query("DELETE FROM held WHERE List = ?1", {listName});
}

std::int64_t HeldPosts::removeBefore(std::int64_t kept) {
    query("DELETE FROM held WHERE Kept < ?1", {kept});
    return sqlite3_changes(db_.db_);
}

}  // namespace vorel
