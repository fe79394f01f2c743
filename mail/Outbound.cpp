#include "mail/Outbound.h"

#include <glib.h>

#include <optional>

#include "base/TextCompare.h"
#include "core/Reporter.h"
#include "core/RunState.h"
#include "mail/Address.h"
#include "mail/CopyProof.h"
#include "mail/Subscriptions.h"

namespace vorel {

namespace {

// The same for a record as queued and as read back (which ends each field
// with CR LF and may turn LF into CR LF).
std::string recordDigest(const QueueRecord& r) {
    // Each field without its CRs and its trailing line ends, then 0xFF; read
    // where it lies (a post's body may be megabytes, once per member).
    GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
    for (const std::string* field : {&r.to, &r.from, &r.subject, &r.body}) {
        const std::size_t last = field->find_last_not_of("\r\n");
        const std::size_t end = last == std::string::npos ? 0 : last + 1;
        for (std::size_t pos = 0; pos < end;) {
            std::size_t cr = field->find('\r', pos);
            if (cr == std::string::npos || cr > end) {
                cr = end;
            }
            g_checksum_update(sum, reinterpret_cast<const guchar*>(field->data() + pos),
                              static_cast<gssize>(cr - pos));
            pos = cr + 1;
        }
        const guchar separator = 0xFF;
        g_checksum_update(sum, &separator, 1);
    }
    std::string out = g_checksum_get_string(sum);
    g_checksum_free(sum);
    return out;
}

// RFC 3986 unreserved characters stay; everything else is %XX.
std::string percentEncoded(const std::string& text) {
    gchar* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
    std::string out = escaped;
    g_free(escaped);
    return out;
}

// Letters, digits and hyphens: what a List-Id label may hold.
std::string labelOf(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.';
        out += plain ? c : '-';
    }
    return out;
}

// The list's own address: where members post, else where they subscribe.
std::string listAddress(const MailingList& list) {
    for (const std::string* a :
         {&list.sendtolistfrom, &list.onsubscribeto, &list.onunsubscribeto}) {
        const std::string bare = extractAddresses(*a);
        if (isValidEmail(bare)) {
            return bare;
        }
    }
    return "";
}

std::optional<MailingList> listNamed(RunContext& ctx, const std::string& name) {
    if (ctx.state.listRows) {
        for (const MailingList& l : *ctx.state.listRows) {
            if (sameText(l.Name, name)) {
                return l;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

namespace {

QueueRecord queueable(const QueueRecord& asGiven) {
    QueueRecord record = asGiven;
    // Only the steps that save a message file write a "~" reference: a text
    // that begins with "~" (a reply starting with a sender's value, say)
    // must read back as text, never as a file to send.
    if (!record.body.empty() && record.body[0] == '~') {
        record.body.insert(0, 1, ' ');
    }
    return record;
}

void noteQuietly(Database& db, const QueueRecord& record, OutboundKind kind,
                 const std::string& listName) {
    try {
        db.noteOutbound(recordDigest(record), kind, listName);
    } catch (const std::exception&) {
        // The message still goes out, without the fields.
    }
}

}  // namespace

void queueNoted(Database& db, const std::string& folder, const QueueRecord& asGiven,
                OutboundKind kind, const std::string& listName) {
    const QueueRecord record = queueable(asGiven);
    appendQueueRecord(folder, record);
    noteQuietly(db, record, kind, listName);
}

void queueNoted(Database* db, QueueBatch& batch, const QueueRecord& asGiven, OutboundKind kind,
                const std::string& listName) {
    // Copied only when it must change: a post's copies may be megabytes each.
    std::optional<QueueRecord> changed;
    if (!asGiven.body.empty() && asGiven.body[0] == '~') {
        changed = queueable(asGiven);
    }
    const QueueRecord& record = changed ? *changed : asGiven;
    batch.add(record);
    if (db) {
        noteQuietly(*db, record, kind, listName);
    }
}

namespace {

// The copy's own Message-ID and tag; the Message-ID recorded when the copy
// is about to be sent (`record`), so that its reports can prove what they are.
void addProof(RunContext& ctx, const MailingList& list, const std::string& member,
              OutboundAddressing& out, bool record) {
    const std::string id = newCopyMessageId(listSenderAddress(list));
    out.fields.push_back("Message-ID: <" + id + ">");
    if (const std::string key = runCopyKey(ctx); !key.empty()) {
        out.fields.push_back(std::string(kCopyTagField) + ": " +
                             copyTag(key, list.Name, member, id));
    }
    if (!record || !ctx.state.db || ctx.state.databaseLocked) {
        return;
    }
    try {
        ctx.state.db->recordCopy(id, list.Name, member, epochSeconds(ctx.clock.now()));
    } catch (const StoreBusy&) {
        ctx.state.databaseLocked = true;
    } catch (const std::exception&) {
        // The tag alone proves the copy's reports.
    }
}

OutboundAddressing addressing(RunContext& ctx, const QueueRecord& asRead, bool record) {
    if (!ctx.state.db) {
        return {};
    }
    std::optional<OutboundNote> note;
    try {
        note = ctx.state.db->findOutbound(recordDigest(asRead));
    } catch (const std::exception&) {
        return {};
    }
    if (!note) {
        return {};
    }
    if (note->kind == OutboundKind::AutoReply) {
        return {{kAutoReplied}, "", ""};
    }
    if (note->kind == OutboundKind::ListCopy) {
        if (std::optional<MailingList> list = listNamed(ctx, note->list)) {
            OutboundAddressing out;
            if (list->fromList) {
                out = fromTheList(*list, tidyAddress(asRead.from)).value_or(OutboundAddressing{});
                // Returned in a delivery report's copy of the header: with
                // the tag they say which copy the report is about.
                const std::string member = extractAddresses(tidyAddress(asRead.to));
                out.fields.push_back("X-Vorel-List: " + list->Name);
                out.fields.push_back("X-Vorel-Member: " + member);
                addProof(ctx, *list, member, out, record);
            }
            std::vector<std::string> fields = listHeaders(*list);
            out.fields.insert(out.fields.begin(), fields.begin(), fields.end());
            return out;
        }
    }
    return {};
}

}  // namespace

OutboundAddressing outboundAddressing(RunContext& ctx, const QueueRecord& asRead) {
    return addressing(ctx, asRead, true);
}

std::vector<std::string> outboundHeaders(RunContext& ctx, const QueueRecord& asRead) {
    return addressing(ctx, asRead, false).fields;
}

void outboundSent(RunContext& ctx, const QueueRecord& asRead) {
    if (!ctx.state.db || ctx.state.databaseLocked) {
        return;
    }
    try {
        ctx.state.db->outboundSent(recordDigest(asRead));
    } catch (const StoreBusy&) {
        ctx.state.databaseLocked = true;  // one wait of the busy time-out, not one per record
    } catch (const std::exception&) {
        // A note left behind only takes a row.
    }
}

std::string listIdOf(const MailingList& list) {
    const std::string domain = textAfter(listAddress(list), "@");
    std::string id = lowerCase(labelOf(list.Name));
    if (!domain.empty()) {
        id += "." + labelOf(domain);
    }
    return id;
}

std::vector<std::string> listHeaders(const MailingList& list) {
    std::vector<std::string> fields;
    fields.push_back("List-Id: " + labelOf(list.Name) + " <" + listIdOf(list) + ">");
    const std::string unsubscribe = extractAddresses(list.onunsubscribeto);
    if (isValidEmail(unsubscribe)) {
        std::string link = "mailto:" + unsubscribe;
        if (!list.onunsubscribesubject.empty()) {
            link += "?subject=" + percentEncoded(list.onunsubscribesubject);
        }
        fields.push_back("List-Unsubscribe: <" + link + ">");
    }
    const std::string post = extractAddresses(list.sendtolistfrom);
    if (list.Type == 0 || !isValidEmail(post)) {
        fields.push_back("List-Post: NO");
    } else {
        fields.push_back("List-Post: <mailto:" + post + ">");
    }
    fields.push_back("Precedence: list");
    return fields;
}

std::string listSenderAddress(const MailingList& list) {
    for (const std::string* a : {&list.sendtolistfrom, &list.subscribefrom}) {
        const std::string bare = extractAddresses(*a);
        if (isValidEmail(bare) && bare.find(',') == std::string::npos) {
            return bare;
        }
    }
    return "";
}

std::optional<OutboundAddressing> fromTheList(const MailingList& list, const std::string& poster) {
    const std::string address = listSenderAddress(list);
    if (address.empty()) {
        return std::nullopt;
    }
    std::string clean;
    for (char c : poster) {
        clean += (c == '\r' || c == '\n') ? ' ' : c;
    }
    clean = trimSpace(clean);
    std::string name =
        clean.find('<') == std::string::npos ? "" : trimSpace(textBefore(clean, "<"));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
        name = name.substr(1, name.size() - 2);
    }
    std::string unquoted;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 1 < name.size()) {
            ++i;
        }
        unquoted += name[i];
    }
    name = trimSpace(unquoted);
    const bool named = !name.empty();
    if (!named) {
        name = extractAddresses(clean);
    }
    // Quoted so that any character of the name stays in it; the message
    // writer encodes what is not ASCII.
    auto quoted = [](const std::string& text) {
        std::string q = "\"";
        for (char c : text) {
            if (c == '"' || c == '\\') {
                q += '\\';
            }
            q += c;
        }
        return q + "\"";
    };
    const std::string bare = extractAddresses(clean);
    const std::string original = !named ? bare : quoted(name) + " <" + bare + ">";
    OutboundAddressing out;
    out.from = quoted(name + " via " + list.Name) + " <" + address + ">";
    out.envelope = address;
    out.fields = {"Reply-To: " + original, "X-Original-From: " + original};
    return out;
}

}  // namespace vorel
