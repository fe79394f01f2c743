#include "support/TestServers.h"

#include <glib.h>

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vorel::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void spit(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("test server: cannot write " + path.string());
    }
}

std::string makeTempDir(const char* stem) {
    std::string templ = (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error("test server: mkdtemp failed");
    }
    // Dovecot's unprivileged processes must be able to walk into it.
    ::chmod(templ.c_str(), 0755);
    return templ;
}

// Starts argv[0] in a process group of its own (so that the group, helpers
// included, can be killed at once) with stdout and stderr going to logPath.
pid_t spawn(const std::vector<std::string>& args, const std::string& logPath) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        throw std::runtime_error("test server: cannot start " + args[0] + ": " + std::strerror(rc));
    }
    return pid;
}

// Waits for pid to end, up to `limit`; true when it has been reaped.
bool reap(pid_t pid, std::chrono::milliseconds limit) {
    auto end = Clock::now() + limit;
    while (true) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            return true;
        }
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool exited(pid_t pid) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

// Waits until `port` accepts connections; throws with the log when the child
// died or the port never answered.
void waitForPort(pid_t pid, int port, const fs::path& log, bool* reaped) {
    auto end = Clock::now() + std::chrono::seconds(15);
    while (!loopbackPortAnswers(port)) {
        if (exited(pid)) {
            *reaped = true;
            throw std::runtime_error("test server exited at start:\n" + slurp(log));
        }
        if (Clock::now() >= end) {
            throw std::runtime_error("test server did not answer on port " + std::to_string(port) +
                                     ":\n" + slurp(log));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// True while a process of group `pgid` is still running. Reparented members
// stay zombies until init gets round to them, so kill(-pgid, 0) is no guide.
bool groupAlive(pid_t pgid) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string stat = slurp(entry.path() / "stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size()) {
            continue;
        }
        // After "(comm)": state, ppid, pgrp.
        std::istringstream fields(stat.substr(close + 2));
        char state = 0;
        long ppid = 0;
        long pgrp = 0;
        if (fields >> state >> ppid >> pgrp && pgrp == pgid && state != 'Z' && state != 'X') {
            return true;
        }
    }
    return false;
}

// A self-signed certificate for 127.0.0.1 (IP subjectAltName) as
// folder/cert.pem with its key in folder/key.pem.
void makeCertificate(const fs::path& folder) {
    const std::string f = folder.string();
    const std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        f + "/key.pem' -out '" + f + "/cert.pem' >'" + f + "/openssl.log' 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        throw std::runtime_error("test server: openssl failed:\n" + slurp(folder / "openssl.log"));
    }
}

std::string crlf(const std::string& raw) {
    std::string out;
    out.reserve(raw.size() + raw.size() / 32);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) {
            out += '\r';
        }
        out += raw[i];
    }
    return out;
}

void chownTo(const fs::path& path, uid_t uid, gid_t gid) {
    if (::chown(path.c_str(), uid, gid) != 0) {
        throw std::runtime_error("test server: chown failed on " + path.string());
    }
}

}  // namespace

int freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::runtime_error("test server: no free port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool loopbackPortAnswers(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// ---------------------------------------------------------------- PopServer

struct PopServer::Impl {
    Options options;
    std::string root;
    fs::path maildir;
    int port = 0;
    int tlsPort = 0;
    pid_t pid = -1;
    bool reaped = false;
    std::size_t seeded = 0;
    uid_t uid = 65534;
    gid_t gid = 65534;
    std::string login;

    void start();
    void startMailutils();
    void stop();
    ~Impl() {
        stop();
        if (!root.empty()) {
            std::error_code ec;
            fs::remove_all(root, ec);
        }
    }
};

void PopServer::Impl::start() {
    root = makeTempDir("vorel-pop");
    const fs::path r(root);
    if (const passwd* pw = ::getpwnam("nobody")) {
        uid = pw->pw_uid;
    }
    if (const group* gr = ::getgrnam("nogroup")) {
        gid = gr->gr_gid;
    }
    login = options.user;
    if (options.kind == Kind::Mailutils) {
        startMailutils();
        return;
    }
    fs::create_directories(r / "run");
    fs::create_directories(r / "state");
    const fs::path home = r / "home" / options.user;
    maildir = home / "Maildir";
    for (const char* sub : {"tmp", "new", "cur"}) {
        fs::create_directories(maildir / sub);
    }
    ::chmod((r / "home").c_str(), 0755);
    for (const fs::path& p : {home, maildir, maildir / "tmp", maildir / "new", maildir / "cur"}) {
        chownTo(p, uid, gid);
    }
    spit(r / "passwd", options.user + ":{PLAIN}" + options.password + "::::::\n");

    port = freeLoopbackPort();
    std::ostringstream conf;
    conf << "protocols = pop3\n"
         << "listen = 127.0.0.1\n"
         << "base_dir = " << root << "/run\n"
         << "state_dir = " << root << "/state\n"
         << "log_path = " << root << "/dovecot.log\n"
         << "disable_plaintext_auth = no\n"
         << "auth_mechanisms = plain login\n"
         << "auth_failure_delay = 0\n"
         << "auth_verbose = yes\n"
         << "mail_location = maildir:~/Maildir\n"
         << "pop3_uidl_format = %f\n"
         << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << root
         << "/passwd\n}\n"
         << "userdb {\n  driver = static\n  args = uid=" << uid << " gid=" << gid
         << " home=" << root << "/home/%u\n}\n"
         << "service anvil {\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n";
    if (options.tls) {
        makeCertificate(r);
        tlsPort = freeLoopbackPort();
        while (tlsPort == port) {
            tlsPort = freeLoopbackPort();
        }
        conf << "ssl = yes\n"
             << "ssl_cert = <" << root << "/cert.pem\n"
             << "ssl_key = <" << root << "/key.pem\n"
             << "service pop3-login {\n"
             << "  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " << port << "\n  }\n"
             << "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " << tlsPort
             << "\n    ssl = yes\n  }\n}\n";
    } else {
        conf << "ssl = no\n"
             << "service pop3-login {\n"
             << "  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " << port
             << "\n  }\n}\n";
    }
    spit(r / "dovecot.conf", conf.str());

    pid = spawn({"/usr/sbin/dovecot", "-c", root + "/dovecot.conf", "-F"}, root + "/stdout.log");
    waitForPort(pid, port, r / "stdout.log", &reaped);
    if (tlsPort != 0) {
        waitForPort(pid, tlsPort, r / "stdout.log", &reaped);
    }
}

// pop3d in the foreground with a private configuration: a virtual-domain
// password file (login user@example.test, crypt hash), the INBOX a Maildir
// in the user's home, no locks outside the folder.
void PopServer::Impl::startMailutils() {
    const fs::path r(root);
    login = options.user + "@example.test";
    const fs::path home = r / "home" / options.user;
    maildir = home / "INBOX";
    for (const char* sub : {"tmp", "new", "cur"}) {
        fs::create_directories(maildir / sub);
    }
    fs::create_directories(r / "domains");
    ::chmod((r / "home").c_str(), 0755);
    for (const fs::path& p : {home, maildir, maildir / "tmp", maildir / "new", maildir / "cur"}) {
        chownTo(p, uid, gid);
    }
    gchar* salt = g_strdup_printf("$6$%08x", g_random_int());
    const char* hash = ::crypt(options.password.c_str(), salt);
    g_free(salt);
    spit(r / "domains" / "example.test", options.user + ":" + hash + ":" + std::to_string(uid) +
                                             ":" + std::to_string(gid) + "::" + home.string() +
                                             ":/bin/false\n");
    port = freeLoopbackPort();
    std::ostringstream conf;
    conf << "logging { syslog no; };\n"
         << "pidfile " << root << "/pop3d.pid;\n"
         << "server 127.0.0.1:" << port << " { };\n"
         << "auth { authorization virtdomain; authentication generic; };\n"
         << "virtdomain { passwd-dir " << root << "/domains; };\n"
         << "mailbox { mailbox-type maildir; };\n"
         << "locking { type null; };\n"
         << "mandatory-locking { enable no; };\n";
    if (options.apopSecret) {
        spit(r / "apop.txt", login + " " + options.password + "\n");
        const pid_t maker =
            spawn({"/usr/bin/popauth", "-c", "-f", root + "/apop.txt", "-o", root + "/apop.db"},
                  root + "/stdout.log");
        reap(maker, std::chrono::seconds(10));
        conf << "apop-database-file " << root << "/apop.db;\n"
             << "apop-database-safety none;\n";
    }
    spit(r / "pop3d.conf", conf.str());
    pid = spawn(
        {"/usr/sbin/pop3d", "--config-file=" + root + "/pop3d.conf", "--foreground", "--daemon"},
        root + "/stdout.log");
    waitForPort(pid, port, r / "stdout.log", &reaped);
}

void PopServer::Impl::stop() {
    if (pid <= 0 || reaped) {
        return;
    }
    // A graceful SIGTERM takes Dovecot seconds; the test server holds
    // nothing worth a clean shutdown (the Maildir is written synchronously),
    // so the whole process group goes at once.
    ::kill(-pid, SIGKILL);
    reaped = reap(pid, std::chrono::seconds(5));
    // The helpers are not our children: wait until none of the group is left.
    auto end = Clock::now() + std::chrono::seconds(5);
    while (groupAlive(pid) && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

PopServer::PopServer() : PopServer(Options{}) {}

PopServer::PopServer(const Options& options) : impl_(std::make_unique<Impl>()) {
    impl_->options = options;
    impl_->start();
}

PopServer::~PopServer() {
    if (impl_) {
        impl_->stop();
    }
}

std::string PopServer::host() const {
    return "127.0.0.1";
}
int PopServer::port() const {
    return impl_->port;
}
int PopServer::tlsPort() const {
    return impl_->tlsPort;
}
const std::string& PopServer::user() const {
    return impl_->login;
}
const std::string& PopServer::password() const {
    return impl_->options.password;
}
std::string PopServer::caFile() const {
    return impl_->options.tls ? impl_->root + "/cert.pem" : std::string();
}

void PopServer::addMessage(const std::string& raw) {
    ++impl_->seeded;
    char name[64];
    std::snprintf(name, sizeof name, "%010zu.vorel", impl_->seeded);
    const fs::path tmp = impl_->maildir / "tmp" / name;
    const fs::path dest = impl_->maildir / "new" / name;
    // mailutils keeps LF line ends on disk and reads CR LF files as garbage.
    spit(tmp, impl_->options.kind == Kind::Mailutils ? raw : crlf(raw));
    chownTo(tmp, impl_->uid, impl_->gid);
    fs::rename(tmp, dest);
}

namespace {
// Maildir file names in POP3 order: the seeded stem, whatever flags Dovecot
// appended after ':' once it moved the file to cur/.
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
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().string() < b.filename().string();
    });
    return files;
}
}  // namespace

std::vector<std::string> PopServer::messages() const {
    std::vector<std::string> out;
    for (const auto& f : mailFiles(impl_->maildir)) {
        out.push_back(slurp(f));
    }
    return out;
}

std::size_t PopServer::messageCount() const {
    return mailFiles(impl_->maildir).size();
}

std::string PopServer::log() const {
    return slurp(fs::path(impl_->root) / "dovecot.log");
}

void PopServer::kill() {
    impl_->stop();
}

// ---------------------------------------------------------------- SmtpServer

struct SmtpServer::Impl {
    Options options;
    std::string root;
    int port = 0;
    int tlsPort = 0;
    pid_t pid = -1;
    bool reaped = false;

    void start();
    void stop() {
        if (pid <= 0 || reaped) {
            return;
        }
        ::kill(-pid, SIGKILL);
        reaped = reap(pid, std::chrono::seconds(5));
    }
    ~Impl() {
        stop();
        if (!root.empty()) {
            std::error_code ec;
            fs::remove_all(root, ec);
        }
    }
};

void SmtpServer::Impl::start() {
    root = makeTempDir("vorel-smtp");
    const fs::path r(root);
    fs::create_directories(r / "spool");
    std::vector<std::string> args = {
        "/usr/bin/python3", "-u", std::string(VOREL_SOURCE_DIR) + "/tests/support/smtp_server.py",
        "--dir", root + "/spool"};
    if (!options.authUser.empty()) {
        args.insert(args.end(),
                    {"--auth-user", options.authUser, "--auth-password", options.authPassword});
    }
    for (const auto& a : options.refuseRecipients) {
        args.insert(args.end(), {"--refuse-rcpt", a});
    }
    for (const auto& a : options.refuseSenders) {
        args.insert(args.end(), {"--refuse-from", a});
    }
    if (options.pipelining) {
        args.push_back("--pipelining");
    }
    if (!options.eightBitMime) {
        args.push_back("--no-8bitmime");
    }
    if (options.smtputf8) {
        args.push_back("--smtputf8");
    }
    if (options.chunking) {
        args.push_back("--chunking");
    }
    for (const auto& t : options.refuseContent) {
        args.insert(args.end(), {"--refuse-content", t});
    }
    if (options.tls) {
        makeCertificate(r);
        args.insert(args.end(), {"--tls-cert", root + "/cert.pem", "--tls-key", root + "/key.pem"});
    }
    pid = spawn(args, root + "/server.log");
    // The script writes its port once it listens.
    auto end = Clock::now() + std::chrono::seconds(15);
    while (true) {
        std::string text = slurp(r / "spool" / "port");
        if (!text.empty()) {
            port = std::stoi(text);
            if (options.tls) {
                tlsPort = std::stoi(slurp(r / "spool" / "tlsport"));
            }
            break;
        }
        if (exited(pid)) {
            reaped = true;
            throw std::runtime_error("SMTP test server exited at start:\n" +
                                     slurp(r / "server.log"));
        }
        if (Clock::now() >= end) {
            throw std::runtime_error("SMTP test server did not start:\n" + slurp(r / "server.log"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // No probe connection here: it would count as a session.
}

SmtpServer::SmtpServer() : SmtpServer(Options{}) {}

SmtpServer::SmtpServer(const Options& options) : impl_(std::make_unique<Impl>()) {
    impl_->options = options;
    impl_->start();
}

SmtpServer::~SmtpServer() = default;

std::string SmtpServer::host() const {
    return "127.0.0.1";
}
int SmtpServer::port() const {
    return impl_->port;
}
int SmtpServer::tlsPort() const {
    return impl_->tlsPort;
}
std::string SmtpServer::caFile() const {
    return impl_->options.tls ? impl_->root + "/cert.pem" : std::string();
}

std::vector<SmtpServer::Received> SmtpServer::received() const {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(impl_->root) / "spool", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("msg-", 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".eml") == 0) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<Received> out;
    for (const auto& f : files) {
        const std::string text = slurp(f);
        Received rec;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t nl = text.find('\n', pos);
            if (nl == std::string::npos) {
                nl = text.size();
            }
            const std::string line = text.substr(pos, nl - pos);
            pos = nl + 1;
            if (line.empty()) {
                break;
            }
            if (line.rfind("session: ", 0) == 0) {
                rec.session = std::stoi(line.substr(9));
            } else if (line.rfind("from: ", 0) == 0) {
                rec.mailFrom = line.substr(6);
            } else if (line.rfind("options: ", 0) == 0) {
                rec.mailOptions = line.substr(9);
            } else if (line.rfind("rcpt: ", 0) == 0) {
                rec.rcptTo.push_back(line.substr(6));
            }
        }
        rec.data = pos < text.size() ? text.substr(pos) : std::string();
        out.push_back(std::move(rec));
    }
    return out;
}

int SmtpServer::sessionCount() const {
    const std::string text = slurp(fs::path(impl_->root) / "spool" / "sessions");
    return text.empty() ? 0 : std::stoi(text);
}

}  // namespace vorel::test
