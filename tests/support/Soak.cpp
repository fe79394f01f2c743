#include "support/Soak.h"

#include <signal.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "store/Database.h"
#include "store/Queue.h"
#include "store/Settings.h"
#include "support/Rows.h"
#include "support/TcpProxy.h"
#include "support/TestServers.h"

namespace vorel::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Fault = TcpProxy::Fault;

constexpr int kKillPercent = 50;
constexpr auto kRunDeadline = std::chrono::seconds(60);  // a run still going counts as hung

enum class Kind { Reply, Subscribe, Unmatched };

std::string sender(std::size_t i) {
    return "s" + std::to_string(i) + "@x.example";
}

}  // namespace

std::string SoakResult::summary() const {
    std::ostringstream out;
    out << "runs " << runs << " (killed " << killed << ", all tries failed " << exitedFailed
        << ", hung " << hung << "), connections " << connections << ", faults injected "
        << cuts + stalls + trickles + rewrites << " (cuts " << cuts << ", stalls " << stalls
        << ", trickles " << trickles << ", refused commands " << rewrites << ")\n"
        << "messages " << messages << ", mails expected " << expectedReplies << ", delivered "
        << delivered << ", refused for good " << refused << ", duplicates after a broken session "
        << duplicates << ", losses and other problems " << problems.size() << "\n";
    for (const std::string& p : problems) {
        out << "  problem: " << p << "\n";
    }
    return out.str();
}

SoakResult runSoak(const SoakOptions& o) {
    SoakResult result;
    auto problem = [&result](const std::string& p) { result.problems.push_back(p); };
    std::mt19937 rng(o.seed);
    PopServer pop;
    // Seeds take turns: an SMTP server with neither, with PIPELINING and
    // CHUNKING, with PIPELINING alone. A stream's messages still awaiting
    // their replies when its session broke may all go again.
    SmtpServer::Options smtpOptions{"", "", {"refused@refuse.example"}, {}};
    smtpOptions.pipelining = o.seed % 3 != 0;
    smtpOptions.chunking = o.seed % 3 == 1;
    const int inFlight = smtpOptions.pipelining ? 32 : 1;
    SmtpServer smtp(smtpOptions);
    // The faults both relays draw from one seeded generator; off for the clean runs.
    std::mutex planLock;
    std::mt19937 plan(o.seed * 7919u + 1);
    std::atomic<bool> faulty = false;
    TcpProxy::Options relay;
    relay.delayMs = 1;
    relay.faultsFor = [&](int) -> std::vector<Fault> {
        std::lock_guard lock(planLock);
        if (!faulty || plan() % 100 >= 50) {
            return {};
        }
        Fault f;
        const auto kind = plan() % 10;
        f.kind = kind < 5 ? Fault::Kind::Cut : kind < 8 ? Fault::Kind::Stall : Fault::Kind::Trickle;
        f.direction = plan() % 2 ? TcpProxy::Direction::ToClient : TcpProxy::Direction::ToServer;
        f.afterBytes = plan() % 1500;
        f.ms = f.kind == Fault::Kind::Stall ? 100 + static_cast<int>(plan() % 2400) : 1;
        return {f};
    };
    // Now and then a command made one the server refuses (same first word).
    auto refuse = [&](const std::string& line, bool popLine) -> std::optional<std::string> {
        std::lock_guard lock(planLock);
        if (!faulty || plan() % 100 >= 4) {
            return std::nullopt;
        }
        for (const std::string into :
             {"RETR 999999", "DELE 999999", "TOP 999999 0", "RCPT TO:<refused@refuse.example>"}) {
            if ((into[1] == 'C') != popLine &&
                ::strncasecmp(line.c_str(), into.c_str(), into.find(' ') + 1) == 0) {
                return into + "\r\n";
            }
        }
        return std::nullopt;
    };
    relay.rewriteLine = [&](int, const std::string& line) { return refuse(line, true); };
    TcpProxy popProxy(pop.port(), relay);
    relay.rewriteLine = [&](int, const std::string& line) { return refuse(line, false); };
    TcpProxy smtpProxy(smtp.port(), relay);

    std::string work = (fs::temp_directory_path() / "vorel-soak-XXXXXX").string();
    if (mkdtemp(work.data()) == nullptr) {
        throw std::runtime_error("soak: mkdtemp failed");
    }
    const std::string folder = work + "/app", data = folder + "/data.mdb";
    fs::create_directory(folder);
    // Whatever the umask: a run refuses a folder others may write to.
    fs::permissions(folder, fs::perms::owner_all);
    Database::createIfMissing(data);
    Database::upgradeSchema(data);
    Database::open(data).addAutoresponder(
        test::replyRule("INFO", "info@me.example", "Thanks for writing."));
    MailingList l;
    l.Name = "L";
    l.onsubscribeto = "join@me.example";
    l.subscribefrom = "list@me.example";
    l.subscribesubject = "Welcome to L";
    l.subscribemessage = "Welcome aboard.";
    l.confirm = false;  // every join is answered by one welcome
    Database::open(data).addList(l);
    Settings s;
    s.txtPOP = "127.0.0.1:" + std::to_string(popProxy.port());
    s.txtSMTP = "127.0.0.1:" + std::to_string(smtpProxy.port());
    s.txtUSERID = pop.user();
    s.txtPASSWORD = pop.password();
    s.txtTIMEOUT = "2";
    s.txtRUNPROGRAM = "";
    writeSettings(folder, s);

    // What each recipient should get, by the subject line its mail carries.
    std::map<std::string, std::string> expected;
    std::vector<Kind> kinds;
    auto seedMessages = [&](int upTo) {
        while (static_cast<int>(kinds.size()) < std::min(upTo, o.messages)) {
            const auto r = rng() % 10;
            const Kind kind = r < 6 ? Kind::Reply : r < 7 ? Kind::Subscribe : Kind::Unmatched;
            const std::string i = std::to_string(kinds.size());
            const char* to[] = {"info", "join", "other"};
            pop.addMessage("From: " + sender(kinds.size()) + "\nTo: " + to[static_cast<int>(kind)] +
                           "@me.example\nSubject: soak " + i + "\nMessage-ID: <" + i +
                           "@x.example>\n\nHello " + i + "\n");
            if (kind != Kind::Unmatched) {
                expected[sender(kinds.size())] =
                    kind == Kind::Reply ? "Subject: Re: your mail" : "Subject: Welcome to L";
            }
            kinds.push_back(kind);
        }
    };
    int extras = 0;
    auto queueExtra = [&] {
        if (extras < o.extraRecords) {
            const std::string k = std::to_string(extras++);
            appendQueueRecord(folder, {"extra-" + k + "@y.example", "soak@me.example", "extra " + k,
                                       "body " + k});
            expected["extra-" + k + "@y.example"] = "Subject: extra " + k;
        }
    };

    std::set<int> brokenSessions;  // connection numbers of the SMTP relay
    double typicalRunMs = 150;     // kills land anywhere within the time runs take
    // One `vorel run`; returns its exit code, -1 when killed or hung.
    auto oneRun = [&](bool isFaulty) {
        faulty = isFaulty;
        const bool kill = isFaulty && static_cast<int>(rng() % 100) < kKillPercent;
        const int killWithin = std::min(o.killWithinMs, static_cast<int>(typicalRunMs * 1.2) + 10);
        const auto killAt = std::chrono::milliseconds(rng() % static_cast<unsigned>(killWithin));
        const auto extraAt = std::chrono::milliseconds(rng() % 800);
        bool extraDone = !isFaulty || rng() % 2 == 0;
        const int before = smtpProxy.counters().connections;
        const auto start = Clock::now();
        const std::string log = work + "/run-" + std::to_string(++result.runs) + ".log";
        const pid_t pid = startProcess({VOREL_BINARY, "run", "--folder", folder}, log);
        for (int status = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                const std::chrono::duration<double, std::milli> took = Clock::now() - start;
                typicalRunMs = 0.7 * typicalRunMs + 0.3 * took.count();
                const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                result.exitedFailed += code == 1 ? 1 : 0;
                return code;
            }
            const auto elapsed = Clock::now() - start;
            if (!extraDone && elapsed >= extraAt) {
                queueExtra();  // another writer while the run goes on
                extraDone = true;
            }
            const bool hung = elapsed >= kRunDeadline;
            if ((kill && elapsed >= killAt) || hung) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                ++(hung ? result.hung : result.killed);
                // Its connections still in the relay's backlog are numbered too.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                for (int c = before + 1; c <= smtpProxy.counters().connections; ++c) {
                    brokenSessions.insert(c);
                }
                return -1;
            }
        }
    };

    seedMessages(o.messages / 2);
    for (int r = 0; r < o.runs; ++r) {
        seedMessages(o.messages / 2 +
                     (o.messages - o.messages / 2) * (r + 1) / std::max(1, o.runs));
        if (rng() % 3 == 0) {
            queueExtra();
        }
        oneRun(true);
    }
    seedMessages(o.messages);
    while (extras < o.extraRecords) {
        queueExtra();
    }
    // Settle: clean runs until one ends well with nothing left to send.
    for (int i = 0; i < 4; ++i) {
        if (oneRun(false) == 0 && !fs::exists(folder + "/" + kQueueFile)) {
            break;
        }
    }

    // --- the checks
    const TcpProxy::Counters pc = popProxy.counters(), sc = smtpProxy.counters();
    result.connections = pc.connections + sc.connections;
    result.cuts = pc.cuts + sc.cuts;
    result.stalls = pc.stalls + sc.stalls;
    result.trickles = pc.trickles + sc.trickles;
    result.rewrites = pc.rewrites + sc.rewrites;
    result.messages = static_cast<int>(kinds.size());
    result.expectedReplies = static_cast<int>(expected.size());
    for (int c : smtpProxy.faultedConnections()) {
        brokenSessions.insert(c);
    }

    // Each copy by (session, order of arrival); a broken session explains
    // one copy sent again: one of its last (the last `inFlight`), which the
    // client may never have seen accepted (a kill, a cut, a time-out while
    // the relay held the bytes).
    std::map<std::string, std::vector<std::pair<int, int>>> copiesOf;
    std::map<int, std::vector<int>> ofSession;
    const std::vector<SmtpServer::Received> received = smtp.received();
    for (int index = 0; index < static_cast<int>(received.size()); ++index) {
        const SmtpServer::Received& m = received[static_cast<std::size_t>(index)];
        ofSession[m.session].push_back(index);
        for (const std::string& rcpt : m.rcptTo) {
            const auto it = expected.find(rcpt);
            if (it == expected.end()) {
                problem("mail to an unknown recipient " + rcpt);
            } else if (m.data.find(it->second + "\r\n") == std::string::npos) {
                problem("mail to " + rcpt + " lacks \"" + it->second + "\"");
            }
            copiesOf[rcpt].emplace_back(m.session, index);
        }
    }
    std::set<std::string> refused;
    if (fs::exists(folder + "/" + kFailedQueueFile)) {
        for (QueueReader failed(folder + "/" + kFailedQueueFile); !failed.atEnd();) {
            std::string to = failed.readRecord().to;
            to.erase(to.find_last_not_of("\r\n") + 1);
            if (expected.count(to) == 0) {
                problem("msgqueue.failed holds a record to an unknown recipient " + to);
            }
            refused.insert(to);
        }
    }
    result.refused = static_cast<int>(refused.size());
    for (const auto& [rcpt, subjectLine] : expected) {
        const std::vector<std::pair<int, int>>& copies = copiesOf[rcpt];
        if (copies.empty()) {
            if (refused.count(rcpt) == 0) {
                problem("lost: nothing reached " + rcpt);
            }
            continue;
        }
        ++result.delivered;
        std::set<int> explaining;
        std::string sessions;
        for (const auto& [session, index] : copies) {
            const std::vector<int>& all = ofSession[session];
            const auto later = all.end() - std::upper_bound(all.begin(), all.end(), index);
            if (brokenSessions.count(session) != 0 && later < inFlight) {
                explaining.insert(session);
            }
            sessions += " " + std::to_string(session);
        }
        const int extra = static_cast<int>(copies.size()) - 1;
        const int explained = std::min(extra, static_cast<int>(explaining.size()));
        result.duplicates += explained;
        if (extra > explained) {
            problem("sent twice: " + rcpt + ", sessions" + sessions + " (" + work + ")");
        }
    }

    // The mailbox: what a rule matched is gone, the rest is all there. The
    // application folder: queue sent and gone, database whole, each
    // subscriber a member once.
    std::string mailbox;
    for (const std::string& raw : pop.messages()) {
        mailbox += raw;
    }
    std::map<std::string, int> members;
    for (const Member& m : Database::open(data).members("L")) {
        ++members[m.Email];
    }
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const bool kept = mailbox.find("From: " + sender(i) + "\r\n") != std::string::npos;
        if (kinds[i] == Kind::Unmatched && !kept) {
            problem("deleted without a matching rule: message from " + sender(i));
        } else if (kinds[i] != Kind::Unmatched && kept) {
            problem("still on the server after the clean runs: message from " + sender(i));
        }
        if (kinds[i] == Kind::Subscribe && members[sender(i)] != 1) {
            problem(sender(i) + " is a member " + std::to_string(members[sender(i)]) + " times");
        }
    }
    for (const char* name : {kQueueFile, kQueueNewFile, kQueueCursorFile}) {
        if (fs::exists(folder + "/" + name) && fs::file_size(folder + "/" + name) != 0) {
            problem(std::string(name) + " left after the clean runs");
        }
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* q = nullptr;
    sqlite3_open_v2(data.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &q, nullptr);
    const std::string integrity = sqlite3_step(q) == SQLITE_ROW
                                      ? reinterpret_cast<const char*>(sqlite3_column_text(q, 0))
                                      : "cannot open";
    sqlite3_finalize(q);
    sqlite3_close(db);
    if (integrity != "ok") {
        problem("integrity_check of data.mdb: " + integrity);
    }
    if (result.hung > 0) {
        problem(std::to_string(result.hung) + " runs hung");
    }
    if (result.problems.empty()) {
        std::error_code ec;
        fs::remove_all(work, ec);
    }
    return result;
}

}  // namespace vorel::test
