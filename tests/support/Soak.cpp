#include "support/Soak.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
#include "support/TcpProxy.h"
#include "support/TestServers.h"

extern char** environ;

namespace vorel::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Fault = TcpProxy::Fault;

constexpr char kRefused[] = "refused@refuse.example";

enum class Kind { Reply, Subscribe, Unmatched };

std::string sender(int i) {
    return "s" + std::to_string(i) + "@x.example";
}
std::string extraRecipient(int k) {
    return "extra-" + std::to_string(k) + "@y.example";
}

// The faults both relays draw from one seeded generator; off for the clean runs.
class FaultPlan {
public:
    explicit FaultPlan(unsigned seed) : rng_(seed) {}
    void setOn(bool on) {
        std::lock_guard lock(m_);
        on_ = on;
    }
    std::vector<Fault> forConnection() {
        std::lock_guard lock(m_);
        if (!on_ || rng_() % 100 >= 50) {
            return {};
        }
        Fault f;
        const auto kind = rng_() % 10;
        f.kind = kind < 5 ? Fault::Kind::Cut : kind < 8 ? Fault::Kind::Stall : Fault::Kind::Trickle;
        f.direction = rng_() % 2 ? TcpProxy::Direction::ToClient : TcpProxy::Direction::ToServer;
        f.afterBytes = rng_() % 1500;
        f.ms = f.kind == Fault::Kind::Stall ? 100 + static_cast<int>(rng_() % 2400) : 1;
        return {f};
    }
    // A command the server is made to refuse, now and then.
    std::optional<std::string> rewrite(const std::string& line, bool pop) {
        std::lock_guard lock(m_);
        if (!on_ || rng_() % 100 >= 4) {
            return std::nullopt;
        }
        auto starts = [&line](const char* prefix) {
            return line.size() >= std::char_traits<char>::length(prefix) &&
                   std::equal(prefix, prefix + std::char_traits<char>::length(prefix), line.begin(),
                              [](char a, char b) {
                                  return std::toupper(static_cast<unsigned char>(a)) ==
                                         std::toupper(static_cast<unsigned char>(b));
                              });
        };
        if (pop) {
            for (const char* cmd : {"RETR ", "DELE ", "TOP "}) {
                if (starts(cmd)) {
                    return std::string(cmd) + (starts("TOP ") ? "999999 0\r\n" : "999999\r\n");
                }
            }
            return std::nullopt;
        }
        if (starts("RCPT TO:")) {
            return "RCPT TO:<" + std::string(kRefused) + ">\r\n";
        }
        return std::nullopt;
    }

private:
    std::mutex m_;
    std::mt19937 rng_;
    bool on_ = false;
};

pid_t spawnRun(const std::string& folder, const std::string& log) {
    std::vector<std::string> args{VOREL_BINARY, "run", "--folder", folder};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("soak: cannot start " + args[0]);
    }
    return pid;
}

std::string integrityOf(const std::string& path) {
    sqlite3* db = nullptr;
    std::string out = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* q = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &q, nullptr) == SQLITE_OK &&
            sqlite3_step(q) == SQLITE_ROW) {
            out = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
        }
        sqlite3_finalize(q);
    }
    sqlite3_close(db);
    return out;
}

std::string withoutLineEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    return s;
}

std::string messageText(int i, Kind kind) {
    const char* to = kind == Kind::Reply       ? "info@me.example"
                     : kind == Kind::Subscribe ? "join@me.example"
                                               : "other@me.example";
    return "From: " + sender(i) + "\nTo: " + to + "\nSubject: soak " + std::to_string(i) +
           "\nMessage-ID: <" + std::to_string(i) + "@x.example>\n\nHello " + std::to_string(i) +
           "\n";
}

void prepareFolder(const std::string& folder) {
    const std::string path = folder + "/data.mdb";
    Database::createIfMissing(path);
    Database::upgradeSchema(path);
    Database db = Database::open(path);
    Autoresponder a;
    a.Name = "INFO";
    a.To = "info@me.example";
    a.msgfrom = "robot@me.example";
    a.msgsubject = "Re: your mail";
    a.message = "Thanks for writing.";
    db.addAutoresponder(a);
    MailingList l;
    l.Name = "L";
    l.onsubscribeto = "join@me.example";
    l.subscribefrom = "list@me.example";
    l.subscribesubject = "Welcome to L";
    l.subscribemessage = "Welcome aboard.";
    db.addList(l);
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
    std::mt19937 rng(o.seed);
    PopServer pop;
    SmtpServer::Options smtpOptions;
    smtpOptions.refuseRecipients = {kRefused};
    SmtpServer smtp(smtpOptions);
    FaultPlan plan(o.seed * 7919u + 1);

    TcpProxy::Options popOptions;
    popOptions.delayMs = 1;
    popOptions.faultsFor = [&plan](int) { return plan.forConnection(); };
    popOptions.rewriteLine = [&plan](int, const std::string& line) {
        return plan.rewrite(line, true);
    };
    TcpProxy::Options smtpProxyOptions = popOptions;
    smtpProxyOptions.rewriteLine = [&plan](int, const std::string& line) {
        return plan.rewrite(line, false);
    };
    TcpProxy popProxy(pop.port(), popOptions);
    TcpProxy smtpProxy(smtp.port(), smtpProxyOptions);
    const int sessionOffset = smtp.sessionCount();

    std::string work = (fs::temp_directory_path() / "vorel-soak-XXXXXX").string();
    if (mkdtemp(work.data()) == nullptr) {
        throw std::runtime_error("soak: mkdtemp failed");
    }
    const std::string folder = work + "/app";
    fs::create_directory(folder);
    prepareFolder(folder);
    Settings s;
    s.txtPOP = "127.0.0.1:" + std::to_string(popProxy.port());
    s.txtSMTP = "127.0.0.1:" + std::to_string(smtpProxy.port());
    s.txtUSERID = pop.user();
    s.txtPASSWORD = pop.password();
    s.chkLEAVE = "0";
    s.txtTIMEOUT = "2";
    s.txtRUNPROGRAM = "";
    s.chkLOG = "1";
    writeSettings(folder, s);

    std::vector<Kind> kinds;
    auto seedMessages = [&](int upTo) {
        while (static_cast<int>(kinds.size()) < std::min(upTo, o.messages)) {
            const auto r = rng() % 10;
            const Kind kind = r < 6 ? Kind::Reply : r < 7 ? Kind::Subscribe : Kind::Unmatched;
            pop.addMessage(messageText(static_cast<int>(kinds.size()), kind));
            kinds.push_back(kind);
        }
    };
    int extras = 0;
    auto queueExtra = [&] {
        if (extras < o.extraRecords) {
            const std::string k = std::to_string(extras);
            appendQueueRecord(
                folder, {extraRecipient(extras), "soak@me.example", "extra " + k, "body " + k});
            ++extras;
        }
    };

    std::set<int> brokenSessions;  // proxy connection numbers of the SMTP relay
    int runNumber = 0;
    // Kills land anywhere in a run: within the time runs have been taking.
    double typicalRunMs = 150;
    // One `vorel run`; returns its exit code, -1 when killed or hung.
    auto oneRun = [&](bool faulty) {
        plan.setOn(faulty);
        const bool kill = faulty && static_cast<int>(rng() % 100) < o.killPercent;
        const int killWithin = std::min(o.killWithinMs, static_cast<int>(typicalRunMs * 1.2) + 10);
        const auto killAt = std::chrono::milliseconds(rng() % static_cast<unsigned>(killWithin));
        const auto extraAt = std::chrono::milliseconds(rng() % 800);
        bool extraDone = !faulty || rng() % 2 == 0;
        const int before = smtpProxy.counters().connections;
        const auto start = Clock::now();
        const pid_t pid = spawnRun(folder, work + "/run-" + std::to_string(++runNumber) + ".log");
        ++result.runs;
        int status = 0;
        int code = -1;
        for (;;) {
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                const double ms =
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                typicalRunMs = 0.7 * typicalRunMs + 0.3 * ms;
                break;
            }
            const auto elapsed = Clock::now() - start;
            if (!extraDone && elapsed >= extraAt) {
                queueExtra();  // another writer while the run goes on
                extraDone = true;
            }
            const bool hung = elapsed >= std::chrono::seconds(o.runDeadlineSec);
            if ((kill && elapsed >= killAt) || hung) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                result.killed += hung ? 0 : 1;
                result.hung += hung ? 1 : 0;
                if (hung) {
                    result.problems.push_back("run " + std::to_string(runNumber) + " hung");
                }
                // Its connections still in the relay's backlog are numbered too.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                for (int c = before + 1; c <= smtpProxy.counters().connections; ++c) {
                    brokenSessions.insert(c);
                }
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (code == 1) {
            ++result.exitedFailed;
        }
        return code;
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
    const TcpProxy::Counters pc = popProxy.counters();
    const TcpProxy::Counters sc = smtpProxy.counters();
    result.connections = pc.connections + sc.connections;
    result.cuts = pc.cuts + sc.cuts;
    result.stalls = pc.stalls + sc.stalls;
    result.trickles = pc.trickles + sc.trickles;
    result.rewrites = pc.rewrites + sc.rewrites;
    result.messages = static_cast<int>(kinds.size());
    for (int c : smtpProxy.faultedConnections()) {
        brokenSessions.insert(c);
    }
    auto problem = [&result](const std::string& p) { result.problems.push_back(p); };

    // What each recipient should get, by the subject line its mail carries.
    std::map<std::string, std::string> expected;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (kinds[i] == Kind::Reply) {
            expected[sender(static_cast<int>(i))] = "Subject: Re: your mail";
        } else if (kinds[i] == Kind::Subscribe) {
            expected[sender(static_cast<int>(i))] = "Subject: Welcome to L";
        }
    }
    for (int k = 0; k < extras; ++k) {
        expected[extraRecipient(k)] = "Subject: extra " + std::to_string(k);
    }
    result.expectedReplies = static_cast<int>(expected.size());

    // Each copy by (session, order of arrival); a broken session explains
    // one copy sent again: its last, which the client may never have seen
    // accepted.
    std::map<std::string, std::vector<std::pair<int, int>>> copiesOf;
    std::map<int, int> lastOfSession;
    const std::vector<SmtpServer::Received> received = smtp.received();
    for (int index = 0; index < static_cast<int>(received.size()); ++index) {
        const SmtpServer::Received& m = received[static_cast<std::size_t>(index)];
        lastOfSession[m.session - sessionOffset] = index;
        for (const std::string& rcpt : m.rcptTo) {
            const auto it = expected.find(rcpt);
            if (it == expected.end()) {
                problem("mail to an unknown recipient " + rcpt);
                continue;
            }
            if (m.data.find(it->second + "\r\n") == std::string::npos) {
                problem("mail to " + rcpt + " lacks \"" + it->second + "\"");
            }
            copiesOf[rcpt].emplace_back(m.session - sessionOffset, index);
        }
    }
    std::set<std::string> refused;
    if (fs::exists(folder + "/" + kFailedQueueFile)) {
        QueueReader failed(folder + "/" + kFailedQueueFile);
        while (!failed.atEnd()) {
            const std::string to = withoutLineEnd(failed.readRecord().to);
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
        // A copy that was the last of a broken session may have been
        // accepted after the client gave up on it (a kill, a cut, a time-out
        // while the relay held the bytes): each such copy explains one more.
        std::set<int> explaining;
        for (const auto& [session, index] : copies) {
            if (brokenSessions.count(session) != 0 && lastOfSession[session] == index) {
                explaining.insert(session);
            }
        }
        const int extra = static_cast<int>(copies.size()) - 1;
        const int explained = std::min(extra, static_cast<int>(explaining.size()));
        result.duplicates += explained;
        std::string sessions;
        for (const auto& copy : copies) {
            sessions += " " + std::to_string(copy.first);
        }
        if (explained > 0) {
            std::printf("duplicate after a broken session: %s, sessions%s\n", rcpt.c_str(),
                        sessions.c_str());
        }
        if (extra > explained) {
            problem("sent twice: " + rcpt + ", sessions" + sessions + " (" + work + ")");
        }
    }

    // The mailbox: what a rule matched is gone, the rest is all there.
    std::set<std::string> left;
    for (const std::string& raw : pop.messages()) {
        const std::size_t at = raw.find("From: ");
        if (at != std::string::npos) {
            left.insert(raw.substr(at + 6, raw.find('\r', at) - at - 6));
        }
    }
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const bool kept = left.count(sender(static_cast<int>(i))) != 0;
        if (kinds[i] == Kind::Unmatched && !kept) {
            problem("deleted without a matching rule: message from " + sender(static_cast<int>(i)));
        } else if (kinds[i] != Kind::Unmatched && kept) {
            problem("still on the server after the clean runs: message from " +
                    sender(static_cast<int>(i)));
        }
    }

    // The application folder: queue sent and gone, database whole, each
    // subscriber a member once.
    for (const char* name : {kQueueFile, kQueueNewFile, kQueueCursorFile}) {
        if (fs::exists(folder + "/" + name) && fs::file_size(folder + "/" + name) != 0) {
            problem(std::string(name) + " left after the clean runs");
        }
    }
    const std::string integrity = integrityOf(folder + "/data.mdb");
    if (integrity != "ok") {
        problem("integrity_check of data.mdb: " + integrity);
    }
    std::map<std::string, int> members;
    for (const Member& m : Database::open(folder + "/data.mdb").members("L")) {
        ++members[m.Email];
    }
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const int n = members[sender(static_cast<int>(i))];
        if (kinds[i] == Kind::Subscribe && n != 1) {
            problem(sender(static_cast<int>(i)) + " is a member " + std::to_string(n) + " times");
        }
    }
    if (result.problems.empty()) {
        std::error_code ec;
        fs::remove_all(work, ec);
    }
    return result;
}

}  // namespace vorel::test
