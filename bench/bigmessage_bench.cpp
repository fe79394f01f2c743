// Peak memory of a mail run that takes one large message through the real
// loopback servers: it is downloaded, answered with a merge of its fields,
// saved, forwarded whole and copied to txtAUTOFORWARD. The goal is a peak of
// at most three times the message size plus kConstantMb above the process's
// start.
//
// Shapes built to take memory are measured beside them, each at its own size:
// 1.2 million empty MIME parts (8 MB), multiparts nested 100,000 deep,
// messages nested inside messages: the same bound. Address fields of many
// addresses (a To of a million, 300,000 in To, Cc, From or Reply-To, a
// million named ones in To) may take three times the message plus
// kAddressConstantMb. A post of MEGABYTES / 4 to a list of 20 members: three
// times the post plus kConstantMb above what the run holds when it starts
// reading messages (connected, data.mdb open).
//
// Usage: bigmessage_bench [MEGABYTES [KIND...]]   (default 20 and every kind:
// text attachment manyparts deep nested manyto to cc from replyto named post;
// each kind of message runs in
// a fresh process of its own, so that its peak is its own;
// BIGMESSAGE_WRAPPER names a program to run that process under)
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "BenchSupport.h"
#include "base/Clock.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "run/MailRun.h"
#include "store/Database.h"
#include "store/Settings.h"
#include "support/Rows.h"
#include "support/TestServers.h"

namespace fs = std::filesystem;
using namespace vorel;

namespace {

// Resident memory of this process now and at its peak, in KB. Not
// getrusage's ru_maxrss: that survives exec, so it would start at whatever
// the forking parent held.
long statusKb(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) {
        return -1;
    }
    char line[256];
    long kb = -1;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, field, n) == 0) {
            kb = std::atol(line + n);
        }
    }
    std::fclose(f);
    return kb;
}

// A text body of plain lines, or the same text as a base64 attachment
// behind a short note.
std::string message(std::size_t bytes, bool attachment) {
    std::string head =
        "From: Big Sender <big@x.example>\r\nTo: info@me.example\r\nSubject: A large one\r\n"
        "Message-ID: <big@bench>\r\nDate: Sun, 06 Dec 2026 08:00:00 +0000\r\n";
    std::string m;
    m.reserve(bytes + 4096);
    if (attachment) {
        m = head +
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
            "Content-Type: text/plain\r\n\r\n%vorelcode%\r\nname=Big\r\n\r\n--b\r\n"
            "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"data.bin\"\r\n\r\n";
        while (m.size() < bytes) {
            m += "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAx\r\n";
        }
        m += "--b--\r\n";
    } else {
        m = head + "\r\n%vorelcode%\r\nname=Big\r\n\r\n";
        while (m.size() < bytes) {
            m += "A line of ordinary text, seventy-odd characters long, again and again.\r\n";
        }
    }
    return m;
}

constexpr double kConstantMb = 10;
constexpr double kAddressConstantMb = 64;

const char* const kKinds[] = {"text", "attachment", "manyparts", "deep",    "nested", "manyto",
                              "to",   "cc",         "from",      "replyto", "named",  "post"};

bool addressShape(const std::string& kind) {
    return kind == "manyto" || kind == "to" || kind == "cc" || kind == "from" ||
           kind == "replyto" || kind == "named";
}

// A field of `count` addresses after `first`, one per folded line.
std::string addressField(const char* name, const char* first, int count, bool named) {
    std::string f = std::string(name) + ": " + first;
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        f += named ? ",\r\n \"Recipient " + n + "\" <r" + n + "@victim.example>"
                   : ",\r\n recipient" + n + "@victim.example";
    }
    return f + "\r\n";
}

std::string hostileMessage(const std::string& kind) {
    std::string m =
        "Subject: An odd one\r\n"
        "Message-ID: <odd@bench>\r\nDate: Sun, 06 Dec 2026 08:00:00 +0000\r\nMIME-Version: 1.0\r\n";
    const char* sender = "Odd Sender <odd@x.example>";
    const char* list = "info@me.example";
    if (kind == "from") {
        m += addressField("From", sender, 300000, false);
    } else {
        m += std::string("From: ") + sender + "\r\n";
    }
    if (kind == "manyto" || kind == "to" || kind == "named") {
        m += addressField("To", list, kind == "to" ? 300000 : 1000000, kind == "named");
    } else {
        m += std::string("To: ") + list + "\r\n";
    }
    if (kind == "cc" || kind == "replyto") {
        m += addressField(kind == "cc" ? "Cc" : "Reply-To", sender, 300000, false);
    }
    if (addressShape(kind)) {
        return m + "\r\n%vorelcode%\r\nname=Odd\r\n";
    }
    if (kind == "manyparts") {
        m += "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n\r\n"
             "%vorelcode%\r\nname=Odd\r\n";
        for (int i = 0; i < 1200000; ++i) {
            m += "--b\r\n\r\n";
        }
        return m + "--b--\r\n";
    }
    if (kind == "deep") {
        m += "Content-Type: multipart/mixed; boundary=\"d0\"\r\n\r\n";
        for (int i = 0; i < 100000; ++i) {
            const std::string b = "d" + std::to_string(i);
            m += "--" + b + "\r\nContent-Type: multipart/mixed; boundary=\"d" +
                 std::to_string(i + 1) + "\"\r\n\r\n";
        }
        return m + "--d100000\r\n\r\n%vorelcode%\r\nname=Odd\r\n";
    }
    // nested: messages inside messages, no boundary anywhere.
    for (int i = 0; i < 100000; ++i) {
        m += "Content-Type: message/rfc822\r\n\r\n";
    }
    return m + "\r\n%vorelcode%\r\nname=Odd\r\n";
}

// Notes the memory the run holds when it starts reading its first message
// (connected, logged in, data.mdb open): a post's bound counts from there.
class ReadingHost : public bench::QuietHost {
public:
    long atFirstMessage = -1;
    void setStatus(const std::string& text) override {
        if (atFirstMessage < 0 && text.rfind("Reading Header ", 0) == 0) {
            atFirstMessage = statusKb("VmHWM:");
        }
    }
};

int child(const std::string& folder, bool fromFirstMessage) {
    const long start = statusKb("VmRSS:");
    ReadingHost host;
    SystemClock clock;
    CurlMailComponent component;
    MailRun run(folder, host, component, clock);
    const bool ok = run.doRunMail();
    const long before = fromFirstMessage && host.atFirstMessage > 0 ? host.atFirstMessage : start;
    std::printf("%ld %ld %d\n", before, statusKb("VmHWM:"), ok ? 1 : 0);
    return ok ? 0 : 1;
}

int measure(const char* self, std::size_t bytes, const std::string& kind) {
    test::PopServer pop;
    test::SmtpServer smtp;
    {
        std::string m = kind == "text" || kind == "attachment"
                            ? message(bytes, kind == "attachment")
                        : kind == "post" ? message(bytes / 4, false)
                                         : hostileMessage(kind);
        bytes = m.size();
        pop.addMessage(m);
    }
    const std::string folder = bench::newAppFolder("bigbench");
    const std::string db = folder + "/data.mdb";
    if (kind == "post") {
        // The sender is a member; each member gets a copy of the whole text.
        Database d = Database::open(db);
        MailingList l;
        l.Name = "BIG";
        l.sendtolistfrom = "info@me.example";
        l.postcheck = 0;  // posts copied at once
        l.textTOADD = "--\r\nThe BIG list";
        d.addList(l);
        d.addMember(Member{0, "BIG", "big@x.example", ""});
        for (int i = 1; i < 20; ++i) {
            d.addMember(Member{0, "BIG", "m" + std::to_string(i) + "@members.example", ""});
        }
    } else {
        Autoresponder a =
            test::replyRule("INFO", "info@me.example", "Hello %name%, thanks for writing.");
        a.Subject = "An odd one";      // also answers a To of many addresses
        a.mailto = "boss@me.example";  // the message forwarded whole
        Database::open(db).addAutoresponder(a);
    }
    Settings s = bench::loopbackSettings(pop, pop.port(), smtp.port());
    if (kind != "post") {
        s.txtAUTOFORWARD = "archive@me.example";
    }
    s.txtTIMEOUT = "120";
    writeSettings(folder, s);

    // The run in a fresh process: its peak is the run's, not the seeding's.
    const std::string out = folder + "/bench.out";
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(out.c_str(), "w", stdout)) {
            _exit(2);
        }
        // BIGMESSAGE_WRAPPER=heaptrack shows where the peak comes from.
        if (const char* w = std::getenv("BIGMESSAGE_WRAPPER"); w != nullptr && *w != '\0') {
            ::execlp(w, w, self, "--run", folder.c_str(), kind.c_str(),
                     static_cast<char*>(nullptr));
        }
        ::execl(self, self, "--run", folder.c_str(), kind.c_str(), static_cast<char*>(nullptr));
        _exit(2);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    long before = 0, peak = 0;
    int ok = 0;
    if (FILE* f = std::fopen(out.c_str(), "r")) {
        if (std::fscanf(f, "%ld %ld %d", &before, &peak, &ok) != 3) {
            ok = 0;
        }
        std::fclose(f);
    }
    std::size_t sent = 0;
    const auto received = smtp.received();
    for (const auto& r : received) {
        sent += r.data.size();
    }
    const double mb = static_cast<double>(bytes) / (1 << 20);
    const double grownMb = static_cast<double>(peak - before) / 1024;
    const double constantMb = addressShape(kind) ? kAddressConstantMb : kConstantMb;
    std::printf(
        "%s message of %.1f MB: run %s in %.1f s, %zu messages sent (%.1f MB)\n"
        "  peak RSS %.1f MB, %.1f MB above %s = %.2f x the message "
        "(goal: 3 x + %.0f MB = %.1f MB, %s)\n",
        kind.c_str(), mb, ok ? "ended" : "FAILED", took, received.size(),
        static_cast<double>(sent) / (1 << 20), static_cast<double>(peak) / 1024, grownMb,
        kind == "post" ? "the run before its first message" : "the process's start", grownMb / mb,
        constantMb, 3 * mb + constantMb, grownMb <= 3 * mb + constantMb ? "within" : "OVER");
    std::fflush(stdout);
    std::error_code ec;
    fs::remove_all(folder, ec);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::string(argv[1]) == "--run") {
            return child(argv[2], std::string(argv[3]) == "post");
        }
        const std::size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
        int rc = 0;
        if (argc > 2) {
            for (int i = 2; i < argc; ++i) {
                rc |= measure(argv[0], mb << 20, argv[i]);
            }
        } else {
            for (const char* kind : kKinds) {
                rc |= measure(argv[0], mb << 20, kind);
            }
        }
        return rc;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bigmessage_bench: %s\n", e.what());
        return 1;
    }
}
