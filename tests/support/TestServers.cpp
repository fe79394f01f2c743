#include "support/TestServers.h"

#include <crypt.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vorel::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string slurp(const fs::path& path) {  // empty when missing
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void spit(const fs::path& path, const std::string& content) {
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << content << std::flush)) {
        throw std::runtime_error("test server: cannot write " + path.string());
    }
}

// `text` with every @KEY replaced.
std::string fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [key, value] : values) {
        for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos;) {
            text.replace(at, key.size(), value);
        }
    }
    return text;
}

// True once pid has ended and been reaped, waiting up to `limit`.
bool ended(pid_t pid, std::chrono::milliseconds limit = 0ms) {
    for (const auto end = Clock::now() + limit;; std::this_thread::sleep_for(10ms)) {
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            return true;
        }
        if (Clock::now() >= end) {
            return false;
        }
    }
}

// A self-signed certificate for 127.0.0.1 (IP subjectAltName): cert.pem, key.pem.
void makeCertificate(const std::string& folder) {
    const std::string cmd = fill(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '@F/key.pem' "
        "-out '@F/cert.pem' >'@F/openssl.log' 2>&1",
        {{"@F", folder}});
    if (std::system(cmd.c_str()) != 0) {
        throw std::runtime_error("test server: openssl failed:\n" + slurp(folder + "/openssl.log"));
    }
}

std::string crlf(const std::string& raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); out += raw[i++]) {
        if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) {
            out += '\r';
        }
    }
    return out;
}

// Maildir files in POP3 order: by the seeded stem, whatever flags follow.
std::vector<fs::path> mailFiles(const fs::path& maildir) {
    std::vector<fs::path> files;
    for (const char* sub : {"new", "cur"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(maildir / sub, ec)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    return files;
}

constexpr char kDovecotConf[] = R"(protocols = pop3@SUBMISSIONPROTO@IMAP
listen = 127.0.0.1
base_dir = @R/run
state_dir = @R/state
log_path = @R/dovecot.log
disable_plaintext_auth = no
auth_mechanisms = plain login@OAUTHMECHS
auth_failure_delay = 0
mail_location = maildir:~/Maildir
pop3_uidl_format = %f
@SSL
@OAUTHPASSDB
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u @R/passwd
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=@R/home/%u
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service pop3-login {
  inet_listener pop3 {
    port = @PORT
  }
@POP3S}
@SUBMISSION@IMAPSERVICE)";

// OAuth2 logins (XOAUTH2, OAUTHBEARER) checked at the stub's introspection endpoint.
constexpr char kOAuthPassdb[] = R"(passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = @R/dovecot-oauth2.conf.ext
}
)";

constexpr char kOAuthConf[] = R"(introspection_mode = post
introspection_url = @URL
username_attribute = username
active_attribute = active
active_value = true
force_introspection = yes
)";

// The submission service relays to the recording SMTP server.
constexpr char kSubmission[] = R"(hostname = localhost
submission_relay_host = 127.0.0.1
submission_relay_port = @RELAY
submission_relay_ssl = no
service submission-login {
  inet_listener submission {
    address = 127.0.0.1
    port = @SUBPORT
  }
}
)";

constexpr char kDovecotTls[] = R"(  inet_listener pop3s {
    port = @TLSPORT
    ssl = yes
  }
)";

constexpr char kDovecotImap[] = R"(service imap-login {
  inet_listener imap {
    port = @IMAPPORT
  }
@IMAPS}
)";

constexpr char kDovecotImaps[] = R"(  inet_listener imaps {
    port = @IMAPTLSPORT
    ssl = yes
  }
)";

// What Dovecot offers by default less IDLE and UIDPLUS.
constexpr char kImapBasic[] =
    "imap_capability = IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE LITERAL+ NAMESPACE\n";

// Mailutils: virtual-domain logins (user@example.test), no locks outside the folder.
constexpr char kPop3dConf[] = R"(logging { syslog no; };
pidfile @R/pop3d.pid;
server 127.0.0.1:@PORT { };
auth { authorization virtdomain; authentication generic; };
virtdomain { passwd-dir @R/domains; };
mailbox { mailbox-type maildir; };
locking { type null; };
mandatory-locking { enable no; };
)";

}  // namespace

sockaddr_in loopbackAddress(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopbackAddress(0);
    socklen_t len = sizeof addr;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    ::close(fd);
    if (!ok) {
        throw std::runtime_error("test server: no free port");
    }
    return ntohs(addr.sin_port);
}

bool loopbackPortAnswers(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in addr = loopbackAddress(port);
    const bool ok =
        fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

pid_t startProcess(const std::vector<std::string>& args, const std::string& logPath) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {  // only async-signal-safe calls: the test process has threads
        ::setpgid(0, 0);
        ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
        ::dup2(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644), 1);
        ::dup2(1, 2);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGPIPE, SIGTERM, SIGINT}) {
            ::signal(s, SIG_DFL);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (pid < 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    return pid;
}

// A server process with its files in a temporary folder; its whole process
// group is killed, and the folder removed, with the object.
struct ServerProcess {
    std::string root;
    pid_t pid = -1;
    bool gone = false;

    explicit ServerProcess(const char* stem)
        : root((fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string()) {
        if (mkdtemp(root.data()) == nullptr) {
            throw std::runtime_error("test server: mkdtemp failed");
        }
        ::chmod(root.c_str(), 0755);  // Dovecot's unprivileged processes walk into it
    }
    ~ServerProcess() {
        stop();
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    // Starts the server and waits until `ready`; throws with its log when it
    // ended or took more than 15 s.
    void start(const std::vector<std::string>& args, const std::function<bool()>& ready) {
        pid = startProcess(args, root + "/server.log");
        for (const auto end = Clock::now() + 15s; !ready(); std::this_thread::sleep_for(20ms)) {
            if ((gone = ended(pid)) || Clock::now() >= end) {
                throw std::runtime_error(args[0] + " did not start:\n" +
                                         slurp(root + "/server.log"));
            }
        }
    }
    void stop() {
        if (pid <= 0 || gone) {
            return;
        }
        // Nothing here is worth a graceful shutdown (Dovecot takes seconds):
        // the group, helpers included, goes at once.
        ::kill(-pid, SIGKILL);
        gone = ended(pid, 5s);
    }
};

// ---------------------------------------------------------------- PopServer

struct PopServer::Impl : ServerProcess {
    Impl() : ServerProcess("vorel-pop") {}
    bool mailutils = false;
    fs::path maildir;
    std::vector<std::string> args;
    std::function<bool()> ready;
    std::size_t seeded = 0;
    static void chown(const fs::path& p) {  // to nobody:nogroup, 65534 on Debian
        if (::chown(p.c_str(), 65534, 65534) != 0) {
            throw std::runtime_error("test server: chown failed on " + p.string());
        }
    }
};

PopServer::PopServer(const Options& o) : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    d.mailutils = o.kind == Kind::Mailutils;
    user_ = d.mailutils ? o.user + "@example.test" : o.user;
    password_ = o.password;
    const fs::path home = fs::path(d.root) / "home" / o.user;
    d.maildir = home / (d.mailutils ? "INBOX" : "Maildir");
    for (const char* sub : {"tmp", "new", "cur"}) {
        fs::create_directories(d.maildir / sub);
    }
    ::chmod((fs::path(d.root) / "home").c_str(), 0755);
    for (const fs::path& p :
         {home, d.maildir, d.maildir / "tmp", d.maildir / "new", d.maildir / "cur"}) {
        d.chown(p);
    }
    port_ = freeLoopbackPort();
    // In this order: the first two hold placeholders of the others.
    std::vector<std::pair<std::string, std::string>> values = {
        {"@SSL", "ssl = no"}, {"@POP3S", ""},
        {"@OAUTHPASSDB", ""}, {"@SUBMISSIONPROTO", ""},
        {"@OAUTHMECHS", ""},  {"@SUBMISSION", ""},
        {"@IMAPSERVICE", ""}, {"@IMAP", ""},
        {"@R", d.root},       {"@PORT", std::to_string(port_)}};
    if (!o.introspectionUrl.empty()) {
        values[2].second = kOAuthPassdb;
        values[4].second = " xoauth2 oauthbearer";
        spit(d.root + "/dovecot-oauth2.conf.ext", fill(kOAuthConf, {{"@URL", o.introspectionUrl}}));
    }
    if (o.submissionRelayPort != 0) {
        while (submissionPort_ == 0 || submissionPort_ == port_) {
            submissionPort_ = freeLoopbackPort();
        }
        values[3].second = " submission";
        values[5].second = fill(kSubmission, {{"@RELAY", std::to_string(o.submissionRelayPort)},
                                              {"@SUBPORT", std::to_string(submissionPort_)}});
    }
    if (d.mailutils) {
        // The INBOX a Maildir in the user's home, a crypt hash in the domain's file.
        fs::create_directories(d.root + "/domains");
        spit(d.root + "/domains/example.test",
             o.user + ":" + ::crypt(o.password.c_str(), "$6$vorel") +
                 ":65534:65534::" + home.string() + ":/bin/false\n");
        std::string conf = fill(kPop3dConf, values);
        if (o.apopSecret) {
            spit(d.root + "/apop.txt", user_ + " " + o.password + "\n");
            ended(startProcess({"/usr/bin/popauth", "-c", "-f", d.root + "/apop.txt", "-o",
                                d.root + "/apop.db"},
                               d.root + "/server.log"),
                  10s);
            conf += fill("apop-database-file @R/apop.db;\napop-database-safety none;\n", values);
        }
        spit(d.root + "/pop3d.conf", conf);
        d.start({"/usr/sbin/pop3d", "--config-file=" + d.root + "/pop3d.conf", "--foreground",
                 "--daemon"},
                [this] { return loopbackPortAnswers(port_); });
        return;
    }
    spit(d.root + "/passwd", o.user + ":{PLAIN}" + o.password + "::::::\n");
    if (o.tls) {
        makeCertificate(d.root);
        caFile_ = d.root + "/cert.pem";
        while (tlsPort_ == 0 || tlsPort_ == port_) {
            tlsPort_ = freeLoopbackPort();
        }
        values[0].second = "ssl = yes\nssl_cert = <@R/cert.pem\nssl_key = <@R/key.pem";
        values[1].second = fill(kDovecotTls, {{"@TLSPORT", std::to_string(tlsPort_)}});
    }
    if (o.imap) {
        while (imapPort_ == 0 || imapPort_ == port_ || imapPort_ == tlsPort_ ||
               imapPort_ == submissionPort_) {
            imapPort_ = freeLoopbackPort();
        }
        std::string imaps;
        if (o.tls) {
            while (imapTlsPort_ == 0 || imapTlsPort_ == port_ || imapTlsPort_ == tlsPort_ ||
                   imapTlsPort_ == imapPort_) {
                imapTlsPort_ = freeLoopbackPort();
            }
            imaps = fill(kDovecotImaps, {{"@IMAPTLSPORT", std::to_string(imapTlsPort_)}});
        }
        values[6].second =
            fill(kDovecotImap, {{"@IMAPPORT", std::to_string(imapPort_)}, {"@IMAPS", imaps}}) +
            (o.imapIdle ? "" : kImapBasic);
        values[7].second = " imap";
    }
    spit(d.root + "/dovecot.conf", fill(kDovecotConf, values));
    d.args = {"/usr/sbin/dovecot", "-c", d.root + "/dovecot.conf", "-F"};
    d.ready = [this] {
        for (const int p : {port_, tlsPort_, submissionPort_, imapPort_, imapTlsPort_}) {
            if (p != 0 && !loopbackPortAnswers(p)) {
                return false;
            }
        }
        return true;
    };
    d.start(d.args, d.ready);
}

void PopServer::restart() {
    Impl& d = *impl_;
    d.stop();
    // A stale base_dir makes the first login hang.
    std::error_code ec;
    fs::remove_all(d.root + "/run", ec);
    d.gone = false;
    d.start(d.args, d.ready);
}

std::string PopServer::maildir() const {
    return impl_->maildir.string();
}

std::string PopServer::imapAddress(bool implicitTls) const {
    return implicitTls ? "imaps://127.0.0.1:" + std::to_string(imapTlsPort_)
                       : "imap://127.0.0.1:" + std::to_string(imapPort_);
}

PopServer::~PopServer() = default;

void PopServer::addMessage(const std::string& raw) {
    char name[32];
    std::snprintf(name, sizeof name, "%010zu.vorel", ++impl_->seeded);
    const fs::path tmp = impl_->maildir / "tmp" / name;
    // Mailutils keeps LF line ends on disk and reads CR LF files as garbage.
    spit(tmp, impl_->mailutils ? raw : crlf(raw));
    impl_->chown(tmp);
    fs::rename(tmp, impl_->maildir / "new" / name);
}

std::vector<std::string> PopServer::messages() const {
    std::vector<std::string> out;
    for (const fs::path& f : mailFiles(impl_->maildir)) {
        out.push_back(slurp(f));
    }
    return out;
}

std::size_t PopServer::messageCount() const {
    return mailFiles(impl_->maildir).size();
}

std::string PopServer::log() const {
    return slurp(impl_->root + "/dovecot.log");
}

void PopServer::kill() {
    impl_->stop();
}

// ---------------------------------------------------------------- SmtpServer

struct SmtpServer::Impl : ServerProcess {
    using ServerProcess::ServerProcess;
};

SmtpServer::SmtpServer(const Options& o) : impl_(std::make_unique<Impl>("vorel-smtp")) {
    Impl& d = *impl_;
    std::vector<std::string> args = {"/usr/bin/python3", "-u",
                                     VOREL_SOURCE_DIR "/tests/support/smtp_server.py", "--dir",
                                     d.root};
    auto add = [&args](const char* flag, const std::vector<std::string>& values) {
        for (const std::string& v : values) {
            args.insert(args.end(), {flag, v});
        }
    };
    if (!o.authUser.empty()) {
        add("--auth-user", {o.authUser});
        add("--auth-password", {o.authPassword});
    }
    add("--refuse-rcpt", o.refuseRecipients);
    add("--refuse-from", o.refuseSenders);
    add("--refuse-content", o.refuseContent);
    add("--reply", o.replies);
    if (o.maxRecipients > 0) {
        add("--max-rcpt", {std::to_string(o.maxRecipients)});
    }
    if (o.limitAfter >= 0) {
        add("--limit-after", {std::to_string(o.limitAfter)});
        add("--limit-reply", {o.limitReply});
    }
    for (const auto& [on, flag] : {std::pair{o.pipelining, "--pipelining"},
                                   {!o.eightBitMime, "--no-8bitmime"},
                                   {o.smtputf8, "--smtputf8"},
                                   {o.chunking, "--chunking"}}) {
        if (on) {
            args.push_back(flag);
        }
    }
    if (o.tls) {
        makeCertificate(d.root);
        caFile_ = d.root + "/cert.pem";
        add("--tls-cert", {d.root + "/cert.pem"});
        add("--tls-key", {d.root + "/key.pem"});
    }
    // The script writes its port once it listens: a probe would count as a session.
    d.start(args, [&d] { return fs::exists(d.root + "/port"); });
    port_ = std::stoi(slurp(d.root + "/port"));
    tlsPort_ = o.tls ? std::stoi(slurp(d.root + "/tlsport")) : 0;
}

SmtpServer::~SmtpServer() = default;

std::vector<SmtpServer::Received> SmtpServer::received() const {
    std::vector<Received> out;
    for (char name[32];;) {  // msg-000001.eml ...: "key: value" lines, an empty line, the data
        std::snprintf(name, sizeof name, "/msg-%06zu.eml", out.size() + 1);
        std::istringstream in(slurp(impl_->root + name));
        if (in.str().empty()) {
            return out;
        }
        Received& r = out.emplace_back();
        for (std::string line; std::getline(in, line) && !line.empty();) {
            const std::string key = line.substr(0, line.find(':'));
            const std::string value = line.substr(std::min(line.size(), key.size() + 2));
            if (key == "session") {
                r.session = std::stoi(value);
            } else if (key == "from") {
                r.mailFrom = value;
            } else if (key == "options") {
                r.mailOptions = value;
            } else if (key == "rcpt") {
                r.rcptTo.push_back(value);
            }
        }
        r.data.assign(std::istreambuf_iterator<char>(in), {});
    }
}

int SmtpServer::sessionCount() const {
    const std::string text = slurp(impl_->root + "/sessions");
    return text.empty() ? 0 : std::stoi(text);
}

int SmtpServer::limitedCount() const {
    const std::string text = slurp(impl_->root + "/limited");
    return text.empty() ? 0 : std::stoi(text);
}

// ---------------------------------------------------------------- PostfixServer

struct PostfixServer::Impl : ServerProcess {
    Impl() : ServerProcess("vorel-postfix") {}
};

bool PostfixServer::installed() {
    return fs::exists("/usr/sbin/postfix") && fs::exists("/usr/lib/postfix/sbin/master");
}

PostfixServer::PostfixServer(const Options& o) : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    const std::string conf = d.root + "/conf", data = d.root + "/data";
    for (const std::string& dir : {conf, d.root + "/queue", data}) {
        fs::create_directories(dir);
    }
    ::chmod(conf.c_str(), 0755);
    // master takes its lock in the data folder as the mail owner.
    if (::chown(data.c_str(), ::getpwnam("postfix") ? ::getpwnam("postfix")->pw_uid : 0,
                static_cast<gid_t>(-1)) != 0) {
        throw std::runtime_error("test Postfix: chown failed");
    }
    port_ = freeLoopbackPort();
    std::string maps;
    for (const auto& [address, box] : o.mailboxes) {
        maps += (maps.empty() ? "" : ", ") + address + "=" + box;
    }
    std::ofstream(conf + "/main.cf")
        << "compatibility_level = 3.6\n"
        << "queue_directory = " << d.root << "/queue\n"
        << "data_directory = " << data << "\n"
        << "maillog_file_prefixes = " << d.root << "\n"
        << "maillog_file = " << d.root << "/maillog\n"
        << "inet_interfaces = loopback-only\ninet_protocols = ipv4\n"
        << "myhostname = relay." << o.domain << "\n"
        << "mydestination =\nrelay_domains =\nmynetworks = 127.0.0.0/8\n"
        << "alias_maps =\nalias_database =\n"
        << "virtual_mailbox_domains = " << o.domain << "\n"
        << "virtual_mailbox_base = " << o.mailRoot << "\n"
        << "virtual_mailbox_maps = inline:{ " << maps
        << " }\n"
        // Dovecot's mail user owns the mailboxes.
        << "virtual_uid_maps = static:65534\nvirtual_gid_maps = static:65534\n"
        // Accept any address of the domain and bounce it later, as a provider does.
        << "smtpd_reject_unlisted_recipient = no\n";
    if (o.discard) {
        // No pause when mail arrives faster than it leaves: the benchmark
        // measures the client, not Postfix's flow control.
        std::ofstream(conf + "/main.cf", std::ios::app)
            << "default_transport = discard:benchmark\nvirtual_transport = discard:benchmark\n"
            << "in_flow_delay = 0\n";
    }
    // No chroot: the services need nothing copied into the queue folder.
    std::ofstream(conf + "/master.cf") << "127.0.0.1:" << port_ << " inet n - n - - smtpd\n"
                                       << "cleanup unix n - n - 0 cleanup\n"
                                       << "qmgr unix n - n 300 1 qmgr\n"
                                       << "rewrite unix - - n - - trivial-rewrite\n"
                                       << "bounce unix - - n - 0 bounce\n"
                                       << "defer unix - - n - 0 bounce\n"
                                       << "trace unix - - n - 0 bounce\n"
                                       << "verify unix - - n - 1 verify\n"
                                       << "flush unix n - n 1000? 0 flush\n"
                                       << "proxymap unix - - n - - proxymap\n"
                                       << "smtp unix - - n - - smtp\n"
                                       << "relay unix - - n - - smtp\n"
                                       << "error unix - - n - - error\n"
                                       << "retry unix - - n - - error\n"
                                       << "discard unix - - n - - discard\n"
                                       << "virtual unix - n n - - virtual\n"
                                       << "anvil unix - - n - 1 anvil\n"
                                       << "scache unix - - n - 1 scache\n"
                                       << "postlog unix-dgram n - n - 1 postlogd\n";
    // `postfix check` makes the queue's folders with their owners.
    if (!ended(startProcess({"/usr/sbin/postfix", "-c", conf, "check"}, d.root + "/server.log"),
               30s)) {
        throw std::runtime_error("test Postfix: check did not end");
    }
    const int p = port_;
    d.start({"/usr/lib/postfix/sbin/master", "-c", conf, "-d"},
            [p] { return loopbackPortAnswers(p); });
}

PostfixServer::~PostfixServer() = default;

std::string PostfixServer::log() const {
    return slurp(impl_->root + "/maillog");
}

}  // namespace vorel::test

// ---------------------------------------------------------------- OAuthStub

namespace vorel::test {

struct OAuthStub::Impl : ServerProcess {
    using ServerProcess::ServerProcess;
};

OAuthStub::OAuthStub(const std::string& user, const std::string& clientId)
    : impl_(std::make_unique<Impl>("vorel-oauth")), clientId_(clientId) {
    Impl& d = *impl_;
    d.start({"/usr/bin/python3", "-u", VOREL_SOURCE_DIR "/tests/support/oauth_stub.py", "--dir",
             d.root, "--user", user, "--client-id", clientId},
            [&d] { return fs::exists(d.root + "/port"); });
    port_ = std::stoi(slurp(d.root + "/port"));
}

OAuthStub::~OAuthStub() = default;

std::string OAuthStub::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

void OAuthStub::control(const std::string& form) {
    CURL* curl = curl_easy_init();
    const std::string target = url("control");
    curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char*, size_t size, size_t count, void*) { return size * count; });
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        throw std::runtime_error("OAuth2 stub: control request failed");
    }
}

void OAuthStub::revokeRefreshTokens() {
    control("revoke=1");
}

void OAuthStub::makeNextAccessTokenStale() {
    control("stale_next=1");
}

void OAuthStub::addRefreshToken(const std::string& token) {
    control("refresh=" + token);
}

namespace {

std::vector<std::string> lines(const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(slurp(path));
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

}  // namespace

std::vector<std::string> OAuthStub::issuedTokens() const {
    return lines(impl_->root + "/issued.log");
}

std::vector<std::string> OAuthStub::tokenRequests() const {
    return lines(impl_->root + "/requests.log");
}

}  // namespace vorel::test
