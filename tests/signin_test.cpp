// Signing in: OAuth2 rules, the run's secrets, and XOAUTH2 runs against Dovecot and an OAuth2 stub.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/PasswordCommand.h"
#include "forms/ConnectionCheck.h"
#include "net/OAuth2.h"
#include "run/AccountLogin.h"
#include "support/MemoryKeyring.h"
#include "support/RunFolder.h"
#include "support/ScriptedServer.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;

TEST(OAuth2Rules, PkceChallengeIsTheS256OfRfc7636) {
    EXPECT_EQ(oauth2::pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    const std::string v = oauth2::randomText(64);
    EXPECT_EQ(v.size(), 64u);
    EXPECT_EQ(
        v.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~"),
        std::string::npos);
    EXPECT_NE(v, oauth2::randomText(64));
}

TEST(OAuth2Rules, AuthorizationUrlCarriesEveryParameterEncoded) {
    OAuth2Provider p;
    p.clientId = "id 1";
    p.authorizeUrl = "https://login.example/auth?tenant=x";
    p.scope = "offline_access https://mail.example/POP";
    EXPECT_EQ(oauth2::authorizationUrl(p, "http://127.0.0.1:5000/", "st", "ch"),
              "https://login.example/auth?tenant=x&response_type=code&client_id=id%201"
              "&redirect_uri=http%3A%2F%2F127.0.0.1%3A5000%2F&scope=offline_access%20https%3A%2F%2F"
              "mail.example%2FPOP&state=st&code_challenge=ch&code_challenge_method=S256");
}

TEST(OAuth2Rules, RedirectRequestLines) {
    struct Row {
        const char* line;
        bool redirect;
        const char *code, *state, *error;
    };
    for (const Row& r : std::vector<Row>{
             {"GET /?code=a%2Bb&state=s1 HTTP/1.1", true, "a+b", "s1", ""},
             {"GET /?state=s&error=access_denied&error_description=no+thanks HTTP/1.1", true, "",
              "s", "access_denied"},
             {"GET /favicon.ico HTTP/1.1", false, "", "", ""},
             {"GET /other?code=x&state=y HTTP/1.1", false, "", "", ""},
             {"GET / HTTP/1.1", false, "", "", ""},
             {"POST /?code=x&state=y HTTP/1.1", false, "", "", ""},
             {"GET /?state=only HTTP/1.1", false, "", "", ""},
         }) {
        SCOPED_TRACE(r.line);
        const auto got = oauth2::parseRedirectRequest(r.line);
        ASSERT_EQ(got.has_value(), r.redirect);
        if (got) {
            EXPECT_EQ(got->code, r.code);
            EXPECT_EQ(got->state, r.state);
            EXPECT_EQ(got->error, r.error);
        }
    }
}

TEST(OAuth2Rules, TokenAnswers) {
    struct Row {
        long status;
        const char* body;
        const char *access, *refresh, *error;
        long expires;
    };
    for (const Row& r : std::vector<Row>{
             {200, R"({"access_token":"A","refresh_token":"R","expires_in":3599})", "A", "R", "",
              3599},
             {200, R"({"access_token":"A","expires_in":"60"})", "A", "", "", 60},
             {400, R"({"error":"invalid_grant","error_description":"AADSTS70008"})", "", "",
              "invalid_grant", 0},
             {200, R"({"token_type":"Bearer"})", "", "", "invalid_response", 0},
             {502, "<html>Bad gateway</html>", "", "", "invalid_response", 0},
             {500, R"({"access_token":"A"})", "", "", "invalid_response", 0},
         }) {
        SCOPED_TRACE(r.body);
        const TokenAnswer a = oauth2::parseTokenAnswer(r.status, r.body);
        EXPECT_EQ(a.accessToken, r.access);
        EXPECT_EQ(a.refreshToken, r.refresh);
        EXPECT_EQ(a.error, r.error);
        EXPECT_EQ(a.expiresIn, r.expires);
        EXPECT_EQ(a.ok(), std::string(r.error).empty());
    }
    // Who signed in, from the ID token's claims (unchecked: a label only).
    EXPECT_EQ(oauth2::parseTokenAnswer(
                  200, R"({"access_token":"A","id_token":"e30.eyJlbWFpbCI6ImFubkBleC5vcmcifQ.x"})")
                  .account,
              "ann@ex.org");
}

TEST(OAuth2Rules, OnlyHttpsOrLoopbackEndpoints) {
    for (const char* url :
         {"https://login.example/token", "http://127.0.0.1:8080/token", "http://localhost/token",
          "HTTP://LOCALHOST/token", "http://[::1]:8080/token"}) {
        EXPECT_TRUE(oauth2::usableEndpoint(url)) << url;
    }
    for (const char* url :
         {"http://login.example/token", "http://127.0.0.1.evil.example/token",
          "http://localhost.evil.example/token", "http://127.0.0.1:@evil.example/token",
          "http://[::1]:@evil.example/token", "https://me@login.example/token",
          "https://:pw@login.example/token", "127.0.0.1/token", "ftp://x/"}) {
        EXPECT_FALSE(oauth2::usableEndpoint(url)) << url;
    }
}

TEST(PasswordCommand, WordsAreSplitAsAShellWouldWithoutOne) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(splitCommandWords("pass show  mail/me"), (Words{"pass", "show", "mail/me"}));
    EXPECT_EQ(splitCommandWords(R"(a 'b c' "d \"e\" \\ $f" g\ h '')"),
              (Words{"a", "b c", R"(d "e" \ $f)", "g h", ""}));
    EXPECT_EQ(splitCommandWords("echo x; rm -rf ~"), (Words{"echo", "x;", "rm", "-rf", "~"}));
    for (const char* bad : {"a 'b", "a \"b", " \t"}) {
        EXPECT_FALSE(splitCommandWords(bad)) << bad;
    }
}

// One deadline (1 s) for reading and waiting; a line printed counts even then, children aside.
TEST(PasswordCommand, FirstLineOfOutputOrWhyNot) {
    EXPECT_EQ(runPasswordCommand("printf 'p w\\r\\nsecond\\n'").firstLine, "p w");
    // No shell: the semicolon is printf's argument, nothing else runs.
    EXPECT_EQ(runPasswordCommand("printf %s; touch /tmp/vorel-no-shell").firstLine,
              "touch;/tmp/vorel-no-shell;");
    EXPECT_FALSE(fs::exists("/tmp/vorel-no-shell"));
    test::TempFolder f;
    const std::string pids = f.file("pids");
    struct Row {
        std::string command;
        const char* line;
        const char* error;
    };
    for (const Row& r : std::vector<Row>{
             {"false", "", "exit status 1"},
             {"true", "", "printed nothing"},
             {"/nonexistent/tool", "", "cannot start"},
             {"", "", "empty"},
             {"sh -c 'echo $$ >>" + pids + "; exec sleep 5'", "", "did not finish"},
             {"sh -c 'echo pw; exec >&-; echo $$ >>" + pids + "; exec sleep 5'", "pw", ""},
             {"sh -c 'printf pw; sleep 5 & echo $! >>" + pids + "'", "pw", ""},
         }) {
        SCOPED_TRACE(r.command);
        const auto start = std::chrono::steady_clock::now();
        const CommandOutput out = runPasswordCommand(r.command, 1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1800));
        EXPECT_EQ(out.firstLine, r.line);
        EXPECT_NE(out.error.find(r.error), std::string::npos) << out.error;
        EXPECT_EQ(r.error[0] == '\0', out.error.empty()) << out.error;
    }
    // Nothing the commands started is left running.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::istringstream left(f.read("pids"));
    for (std::string pid; std::getline(left, pid);) {
        std::string stat;
        if (std::ifstream in("/proc/" + pid + "/stat"); in) {
            std::getline(in, stat);
        }
        EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat;
    }
}

// A token endpoint that answers from a script.
class ScriptedTokens : public TokenService {
public:
    std::vector<TokenAnswer> answers;
    std::vector<std::string> refreshTokensSeen;
    TokenAnswer refresh(const std::string&, const std::string&, const std::string&,
                        const std::string& refreshToken) override {
        refreshTokensSeen.push_back(refreshToken);
        TokenAnswer a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
};

TokenAnswer tokenAnswer(const std::string& access, const std::string& refresh = "",
                        long expires = 3600) {
    TokenAnswer a;
    a.accessToken = access;
    a.refreshToken = refresh;
    a.expiresIn = expires;
    return a;
}

struct LoginFixture : ::testing::Test {
    test::TempFolder folder;
    test::MemoryKeyring keyring;
    ScriptedTokens tokens;
    SignInSettings signIn;
    Settings settings;
    void TearDown() override { ::unsetenv(kPasswordCommandVariable); }
    AccountLogin login(bool withKeyring = true) {
        writeSignInSettings(folder.path(), signIn);
        AccountLogin l(folder.path(), {withKeyring ? &keyring : nullptr, &tokens});
        l.prepare(settings);
        return l;
    }
};

// Where the password comes from, first found first used.
TEST_F(LoginFixture, PasswordSources) {
    struct Row {
        const char* name;
        std::string line4, keyring, command, file;
        std::string expected;  // empty: the run stops
    };
    for (const Row& r : std::vector<Row>{
             {"setup.ini first", "L4", "K", "printf C", "F", "L4"},
             {"keyring next", "", "K", "printf C", "F", "K"},
             {"then the command", "", "", "printf C", "F", "C"},
             {"then the secrets file", "", "", "", "F", "F"},
             {"nothing: stop", "", "", "", "", ""},
         }) {
        SCOPED_TRACE(r.name);
        keyring.secrets.clear();
        if (!r.keyring.empty()) {
            keyring.secrets[kPasswordKey] = r.keyring;
        }
        FileSecretStore file(folder.path());
        file.removeSecret(kPasswordKey);
        if (!r.file.empty()) {
            file.writeSecret(kPasswordKey, r.file);
        }
        settings.txtPASSWORD = r.line4;
        signIn.passwordCommand = r.command;
        AccountLogin l = login();
        EXPECT_FALSE(l.xoauth2());
        if (r.expected.empty()) {
            EXPECT_THROW(l.secret(), SignInStop);
        } else {
            EXPECT_EQ(l.secret(), r.expected);
        }
    }
    // Without signin.ini: the variable's command, and never an empty password.
    fs::remove(folder.file(kSignInFile));
    FileSecretStore(folder.path()).removeSecret(kPasswordKey);
    AccountLogin old(folder.path(), {});
    settings.txtPASSWORD = "";
    old.prepare(settings);
    EXPECT_THROW(old.secret(), SignInStop);
    ::setenv(kPasswordCommandVariable, "printf V", 1);
    EXPECT_EQ(old.secret(), "V");
    ::unsetenv(kPasswordCommandVariable);

    // The method "Password command" reads the command alone, the variable's first.
    signIn.method = LoginMethod::PasswordCommand;
    settings.txtPASSWORD = "ignored";
    EXPECT_THROW(login().secret(), SignInStop);
    signIn.passwordCommand = "printf from-settings";
    EXPECT_EQ(login().secret(), "from-settings");
    ::setenv(kPasswordCommandVariable, "printf from-environment", 1);
    EXPECT_EQ(login().secret(), "from-environment");
    ::setenv(kPasswordCommandVariable, "false", 1);
    EXPECT_THROW(login().secret(), SignInStop);  // ten tries would fail the same
}

TEST_F(LoginFixture, AccessTokenIsKeptRefreshedOnceAndRotated) {
    signIn.method = LoginMethod::CustomOAuth2;
    signIn.clientId = "c";
    signIn.tokenUrl = "https://login.example/token";
    keyring.secrets[kRefreshTokenKey] = "R1";
    tokens.answers = {tokenAnswer("A1", "R2"), tokenAnswer("A2")};
    AccountLogin l = login();
    EXPECT_TRUE(l.xoauth2());
    EXPECT_EQ(l.secret(), "A1");
    EXPECT_EQ(l.secret(), "A1");  // kept for its lifetime
    EXPECT_EQ(keyring.secrets[kRefreshTokenKey], "R2");
    EXPECT_TRUE(l.refreshAfterRefusal());
    EXPECT_EQ(l.secret(), "A2");
    EXPECT_FALSE(l.refreshAfterRefusal());  // once per run
    EXPECT_EQ(tokens.refreshTokensSeen, (std::vector<std::string>{"R1", "R2"}));
}

TEST_F(LoginFixture, ExpiredSignInStopsAndNoSignInSaysHow) {
    signIn.method = LoginMethod::Microsoft;
    signIn.clientId = "c";
    AccountLogin none = login();
    try {
        none.secret();
        FAIL() << "no refresh token anywhere must stop the run";
    } catch (const SignInStop& e) {
        EXPECT_NE(std::string(e.what()).find("vorel login --provider microsoft"),
                  std::string::npos);
    }
    // The secrets file is read where no keyring answers.
    FileSecretStore(folder.path()).writeSecret(kRefreshTokenKey, "R1");
    TokenAnswer expired;
    expired.error = "invalid_grant";
    expired.errorText = "AADSTS70008";
    tokens.answers = {expired};
    AccountLogin l = login(false);
    EXPECT_THROW(l.secret(), SignInStop);
    EXPECT_EQ(tokens.refreshTokensSeen, std::vector<std::string>{"R1"});
    // The provider's "not now" is an ordinary failed try; no answer at all ends the run (tried
    // again by the next); a token URL refused here stops it.
    TokenAnswer busy, away, refused;
    busy.error = away.error = "temporarily_unavailable";
    away.transportFailed = true;
    refused.error = kTokenUrlRefused;
    tokens.answers = {busy, away, refused};
    const auto outcome = [this] {
        try {
            login(false).secret();
            return "signed in";
        } catch (const SignInStop&) {
            return "stop";
        } catch (const TokenEndpointUnreachable&) {
            return "next run";
        } catch (const std::runtime_error&) {
            return "next try";
        }
    };
    EXPECT_STREQ(outcome(), "next try");
    EXPECT_STREQ(outcome(), "next run");
    EXPECT_STREQ(outcome(), "stop");
}

TEST_F(LoginFixture, SecretsGoToTheKeyringOrTheTickedFile) {
    const std::string secretsFile = folder.file(kSecretsFile);
    EXPECT_EQ(keepSecret(folder.path(), signIn, &keyring, kPasswordKey, "pw"), "");
    EXPECT_EQ(keyring.secrets[kPasswordKey], "pw");
    EXPECT_FALSE(fs::exists(secretsFile));
    keyring.answers = false;
    EXPECT_NE(keepSecret(folder.path(), signIn, &keyring, kPasswordKey, "pw2"), "");
    EXPECT_FALSE(fs::exists(secretsFile));  // never in clear text unless ticked
    signIn.secretsInFolder = true;
    keyring.answers = true;
    EXPECT_EQ(keepSecret(folder.path(), signIn, &keyring, kPasswordKey, "pw3"), "");
    EXPECT_EQ(keyring.secrets.count(kPasswordKey), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(secretsFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(FileSecretStore(folder.path()).readSecret(kPasswordKey), "pw3");
}

// --------------------------------------------------- against the servers

// What a browser does: follow the provider's redirect to the loopback listener (its HTTP status).
long actAsBrowser(const std::string& url) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char*, size_t size, size_t count, void*) { return size * count; });
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    }
    curl_easy_cleanup(curl);
    return status;
}

struct Output {
    int status = -1;
    std::string out;
};

// Runs a command; `urlLine` sees its first line that is a URL while it runs.
Output runCommand(const std::string& command,
                  const std::function<void(const std::string&)>& urlLine = {}) {
    Output o;
    FILE* p = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (bool seen = false; std::fgets(buffer, sizeof buffer, p) != nullptr;) {
        o.out += buffer;
        const std::string line = buffer;
        if (!seen && urlLine && line.rfind("http", 0) == 0) {
            seen = true;
            urlLine(line.substr(0, line.find('\n')));
        }
    }
    const int status = ::pclose(p);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return o;
}

Output runVorel(const std::string& args,
                const std::function<void(const std::string&)>& urlLine = {}) {
    return runCommand("'" + std::string(VOREL_BINARY) + "' " + args + " 2>&1", urlLine);
}

struct OAuthServers : ::testing::Test, test::RunFolder {
    std::optional<test::OAuthStub> stub;
    std::optional<test::SmtpServer> smtp;
    std::optional<test::PopServer> pop;

    void SetUp() override {
        VOREL_SKIP_UNLESS_ROOT();
        stub.emplace("alice");
        smtp.emplace();
        test::PopServer::Options o;
        o.introspectionUrl = stub->introspectionUrl();
        o.submissionRelayPort = smtp->port();
        pop.emplace(o);
        pointAt(*pop);
        s.txtPASSWORD = "";
        s.txtSMTP = "127.0.0.1:" + std::to_string(pop->submissionPort());
        s.chkESMTP = "1";
        s.chkDEBUG = "1";
        addAutoresponder("me@example.test", "Thanks for writing");
        pop->addMessage("From: ann@x.example\nTo: me@example.test\nSubject: hi\n\nHello.\n");
        SignInSettings signIn;
        signIn.method = LoginMethod::CustomOAuth2;
        signIn.clientId = stub->clientId();
        signIn.authorizeUrl = stub->url("authorize");
        signIn.tokenUrl = stub->url("token");
        signIn.scope = "offline_access mail";
        signIn.secretsInFolder = true;
        writeSignInSettings(folder.path(), signIn);
        writeSettings(folder.path(), s);
    }
    bool runInProcess() {
        CurlMailComponent mail;
        CurlTokenService tokens;
        return run(mail, [&tokens](MailRun& r) { r.setSignInServices({nullptr, &tokens}); });
    }
    // `vorel login`'s arguments for the stub's provider; the test plays the browser.
    std::string loginArgs(const std::string& extra) const {
        return "login --folder '" + folder.path() + "' --provider custom --client-id " +
               stub->clientId() + " --authorize-url " + stub->url("authorize") + " --token-url " +
               stub->url("token") + " --scope 'offline_access mail'" + extra;
    }
};

TEST_F(OAuthServers, LoginInTheBrowserThenAWholeRunOverXoauth2) {
    fs::remove(folder.file(kSignInFile));
    // The desktop's browser is asked to open the page (this one only notes it); the test follows
    // the URL printed as well.
    test::TempFolder bin;
    bin.write("xdg-open", "#!/bin/sh\nprintf %s \"$1\" >'" + bin.file("opened") + "'\n");
    fs::permissions(bin.file("xdg-open"), fs::perms::owner_all);
    long browser = 0;
    std::string url;
    const Output signIn =
        runCommand("PATH='" + bin.path() + "':\"$PATH\" '" + VOREL_BINARY + "' " +
                       loginArgs(" --no-keyring") + " 2>&1",
                   [&](const std::string& shown) { browser = actAsBrowser(url = shown); });
    ASSERT_EQ(signIn.status, 0) << signIn.out;
    EXPECT_EQ(browser, 200);
    EXPECT_EQ(bin.exists("opened") ? bin.read("opened") : "", url);
    EXPECT_NE(signIn.out.find("Signed in as alice."), std::string::npos) << signIn.out;
    EXPECT_EQ(stub->tokenRequests(), std::vector<std::string>{"authorization_code"});
    EXPECT_EQ(readSignInSettings(folder.path()).method, LoginMethod::CustomOAuth2);

    const Output run = runVorel("run --folder '" + folder.path() + "'");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(stub->tokenRequests(),
              (std::vector<std::string>{"authorization_code", "refresh_token"}));
    ASSERT_EQ(smtp->received().size(), 1u);
    EXPECT_NE(smtp->received()[0].data.find("Thanks for writing"), std::string::npos);
    EXPECT_EQ(pop->messageCount(), 0u);
    // The masked transcript: both logins and nothing of their tokens.
    const std::string debug = folder.read("debug.log");
    EXPECT_NE(debug.find("AUTH XOAUTH2\r\n+ \r\n********\r\n+OK Logged in."), std::string::npos)
        << debug;
    EXPECT_NE(debug.find("AUTH XOAUTH2\r\n334 \r\n********\r\n235 2.7.0 Logged in."),
              std::string::npos)
        << debug;

    // A token refused once is refreshed and the run goes on, its challenge masked too.
    stub->makeNextAccessTokenStale();
    pop->addMessage("From: cat@x.example\nTo: me@example.test\nSubject: hi\n\nHello.\n");
    EXPECT_TRUE(runInProcess());
    EXPECT_EQ(stub->tokenRequests().size(), 4u);
    EXPECT_EQ(smtp->received().size(), 2u);
    EXPECT_EQ(host.countLogContaining("Connect to Host Failed"), 0);
    EXPECT_NE(folder.read("debug.log").find("+ ********"), std::string::npos);

    // Once the sign-in has expired, the run ends after one try with exit status 5.
    stub->revokeRefreshTokens();
    pop->addMessage("From: bob@x.example\nTo: me@example.test\nSubject: hi\n\nHello.\n");
    const Output expired = runVorel("run --folder '" + folder.path() + "'");
    EXPECT_EQ(expired.status, 5) << expired.out;
    EXPECT_EQ(stub->tokenRequests().size(), 5u);
    const std::size_t said = expired.out.find("sign-in has expired");  // once
    EXPECT_TRUE(said != std::string::npos && said == expired.out.rfind("sign-in has expired"))
        << expired.out;
    EXPECT_EQ(expired.out.find("Starting again"), std::string::npos) << expired.out;
    EXPECT_EQ(pop->messageCount(), 1u);
    // Every file of the folder but the secrets file, and the output, free of every token.
    const auto tokens = stub->issuedTokens();
    ASSERT_FALSE(tokens.empty());
    for (const auto& entry : fs::directory_iterator(folder.path())) {
        const bool secrets = entry.path().filename() == kSecretsFile || !entry.is_regular_file();
        const std::string text = secrets ? "" : test::readFile(entry.path().string());
        for (const std::string& t : tokens) {
            EXPECT_EQ(text.find(t), std::string::npos) << entry.path() << " holds a token";
            EXPECT_EQ((signIn.out + run.out + expired.out).find(t), std::string::npos);
        }
    }
}

// The headless commands load the desktop keyring only when asked for a secret: login keeps the
// refresh token there and the run reads it back, in one session bus with an unlocked GNOME keyring.
TEST_F(OAuthServers, LoginAndRunKeepTheTokenInTheDesktopKeyring) {
    // The daemon claims its bus name after it returns: a busy machine asks before then.
    const std::string secretsOnBus =
        "timeout 10 sh -c 'until dbus-send --session --print-reply --dest=org.freedesktop.DBus / "
        "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets | grep -q true; do "
        "sleep 0.1; done' && ";
    if (std::system("command -v dbus-run-session gnome-keyring-daemon >/dev/null") != 0) {
        GTEST_SKIP() << "no dbus-run-session or gnome-keyring-daemon";
    }
    test::TempFolder keyrings;
    fs::remove(folder.file(kSignInFile));
    const std::string vorel = "'" + std::string(VOREL_BINARY) + "' ";
    const Output o =
        runCommand("dbus-run-session -- sh -c \"printf pw | XDG_DATA_HOME='" + keyrings.path() +
                       "' gnome-keyring-daemon --unlock --components=secrets >/dev/null && " +
                       secretsOnBus + vorel + loginArgs(" --no-browser") + " 2>&1 && " + vorel +
                       "run --folder '" + folder.path() + "' 2>&1\" 2>/dev/null",
                   [](const std::string& url) { actAsBrowser(url); });
    ASSERT_EQ(o.status, 0) << o.out;
    EXPECT_NE(o.out.find("Signed in as alice."), std::string::npos) << o.out;
    EXPECT_FALSE(folder.exists(kSecretsFile));
    EXPECT_EQ(stub->tokenRequests(),
              (std::vector<std::string>{"authorization_code", "refresh_token"}));
    EXPECT_EQ(smtp->received().size(), 1u);
}

// Sign-in never hangs and says what to do: each case a `vorel run` of its own folder, all at once.
TEST_F(OAuthServers, SignInNeverHangsAndSaysWhatToDo) {
    test::SmtpServer plain;
    // Silent token endpoints; then a web page where one should be.
    test::ScriptedServer silent, elsewhere({}, "127.0.0.2");
    test::ScriptedServer page([](test::ScriptedServer::Peer& p) {
        for (auto l = p.line(); l && !l->empty(); l = p.line()) {
        }
        p.say(
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 13\r\n"
            "Connection: close\r\n\r\n<html></html>");
    });
    const std::string pw = pop->password();
    const std::string say = "sh -c 'printf \"%s\\n\" " + pw;
    struct Case {
        const char* name;
        std::string command;   // the password command (method "Password command")
        std::string tokenUrl;  // else: a custom OAuth2 sign-in with this token endpoint
        bool signInFile;
        int status;
        const char* said;
        double minSeconds, maxSeconds;
    };
    const std::string local = "http://127.0.0.1:";
    const std::vector<Case> cases = {
        {"prints, then holds on", say + "; exec >&-; exec sleep 100'", "", true, 0,
         "Mail Run Complete", 28, 60},
        {"hangs", "sleep 100", "", true, 5, "did not finish within 30 seconds", 28, 60},
        {"fails", "false", "", true, 5, "the password command failed (exit status 1)", 0, 20},
        {"no secret anywhere", "", "", false, 5, "No password found", 0, 20},
        {"silent endpoint", "", local + std::to_string(silent.port()) + "/token", true, 1,
         "Timeout was reached", 28, 45},
        {"refused endpoint", "", local + std::to_string(test::freeLoopbackPort()) + "/token", true,
         1, "cannot reach the token endpoint", 0, 20},
        {"a web page", "", local + std::to_string(page.port()) + "/token", true, 1,
         "answered 200 without JSON", 0, 20},
        {"user part", "", local + "@127.0.0.2:" + std::to_string(elsewhere.port()) + "/token", true,
         5, "Sign-in: the token URL must use https", 0, 20},
    };
    std::vector<std::unique_ptr<test::RunFolder>> folders;
    std::vector<std::pair<Output, double>> results(cases.size());
    std::vector<std::thread> runs;
    for (const Case& c : cases) {
        auto& f = *folders.emplace_back(std::make_unique<test::RunFolder>());
        f.pointAt(*pop);
        f.s.txtSMTP = "127.0.0.1:" + std::to_string(plain.port());
        f.s.chkDEBUG = "1";
        f.s.chkLEAVE = "1";  // each run that signs in answers the one message
        f.s.txtPASSWORD = "";
        f.addAutoresponder("me@example.test", "Thanks for writing");
        if (c.status == 5 && !c.signInFile) {
            f.s.txtUSERID = "nobody-here";  // no login may be tried
        }
        writeSettings(f.folder.path(), f.s);
        SignInSettings signIn;
        if (!c.command.empty()) {
            signIn.method = LoginMethod::PasswordCommand;
            signIn.passwordCommand = c.command;
        } else if (!c.tokenUrl.empty()) {
            signIn.method = LoginMethod::CustomOAuth2;
            signIn.clientId = stub->clientId();
            signIn.tokenUrl = c.tokenUrl;
            signIn.secretsInFolder = true;
            FileSecretStore(f.folder.path()).writeSecret(kRefreshTokenKey, "rt-seeded");
        }
        if (c.signInFile) {
            writeSignInSettings(f.folder.path(), signIn);
        }
        const std::string command =
            "'" + std::string(VOREL_BINARY) + "' run --folder '" + f.folder.path() + "' 2>&1";
        runs.emplace_back([command, &result = results[runs.size()]] {
            const auto start = std::chrono::steady_clock::now();
            result.first = runCommand(command);
            result.second =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
    }
    for (std::thread& t : runs) {
        t.join();
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const auto& [o, seconds] = results[i];
        EXPECT_EQ(o.status, c.status) << o.out;
        EXPECT_NE(o.out.find(c.said), std::string::npos) << o.out;
        EXPECT_GE(seconds, c.minSeconds);
        EXPECT_LE(seconds, c.maxSeconds);
        // One try; the line says what to do, nothing adds "try again later".
        EXPECT_EQ(o.out.find("Starting again"), std::string::npos) << o.out;
        if (c.status != 0) {
            EXPECT_EQ(o.out.find("try running it again later"), std::string::npos) << o.out;
            EXPECT_EQ(o.out.find("Connect to Host Failed"), std::string::npos) << o.out;
        }
        if (folders[i]->folder.exists("debug.log")) {
            EXPECT_EQ(folders[i]->folder.read("debug.log").find(pw), std::string::npos);
        }
    }
    EXPECT_EQ(pop->log().find("nobody-here"), std::string::npos) << pop->log();
    EXPECT_FALSE(elsewhere.reached()) << "the refresh token went to the host behind the user part";
    EXPECT_TRUE(silent.reached());
    EXPECT_EQ(plain.received().size(), 1u) << "one reply from the run that signed in";
}

TEST(PasswordRefusal, TheProvidersWordsAreRecognised) {
    for (const auto& [detail, line] : std::vector<std::pair<std::string, std::string>>{
             {"pop.gmail.com: login refused: -ERR [AUTH] Web login required: https://x",
              "-ERR [AUTH] Web login required: https://x"},
             {"smtp.example: Login denied: 535 5.7.139 Authentication unsuccessful, basic "
              "authentication is disabled.",
              "535 5.7.139 Authentication unsuccessful, basic authentication is disabled."},
             {"smtp.office365.com: Login denied: 550 5.7.30 Basic authentication is not "
              "supported for Client Submission.",
              "550 5.7.30 Basic authentication is not supported for Client Submission."},
             {"smtp.gmail.com: Login denied: 534-5.7.9 Application-specific password required.",
              "534-5.7.9 Application-specific password required."},
             {"x: login refused: -ERR Please log in with your web browser",
              "-ERR Please log in with your web browser"},
             {"x: login refused: -ERR Authentication failed.", ""},
         }) {
        SCOPED_TRACE(detail);
        EXPECT_EQ(passwordRefusal(detail).value_or(""), line);
    }
}

TEST(PasswordRefusal, TheRunLogAndTestConnectionSayWhatToDo) {
    // Every password refused, as Gmail does without an app password.
    test::ScriptedServer server(
        test::popScript({{"PASS account password",
                          "-ERR [AUTH] Web login required: https://support.example/78754\r\n"}}));
    test::RunFolder f;
    f.s.txtPOP = server.address();
    f.s.txtUSERID = "ann";
    f.s.txtPASSWORD = "account password";
    CurlMailComponent mail;
    const std::string check = checkConnection(f.s, mail).message;
    EXPECT_NE(check.find("(-ERR [AUTH] Web login required: https://support.example/78754) "
                         "This provider does not take your password here"),
              std::string::npos)
        << check;
    EXPECT_FALSE(f.run(mail));
    EXPECT_EQ(f.host.countLogContaining("Connect to Host Failed"), 10);
    EXPECT_EQ(f.host.countLogContaining("-ERR [AUTH] Web login required"), 10);
    EXPECT_EQ(f.host.countLogContaining("needs an app password (made in the account's security "
                                        "settings) or OAuth2 sign-in"),
              10);
}

// The device-code flow: the code shown once, polled until the user is done.
TEST(DeviceSignIn, ShowsTheCodeAndPollsUntilSignedIn) {
    test::OAuthStub stub("alice");
    OAuth2Provider p;
    p.clientId = stub.clientId();
    p.tokenUrl = stub.url("token");
    p.deviceUrl = stub.url("devicecode");
    p.scope = "offline_access mail";
    std::vector<std::string> shown;
    const TokenAnswer a =
        deviceSignIn(p, [&shown](const std::string& message) { shown.push_back(message); });
    ASSERT_TRUE(a.ok()) << a.errorText;
    EXPECT_FALSE(a.refreshToken.empty());
    EXPECT_EQ(shown, std::vector<std::string>{"To sign in, visit http://127.0.0.1/device and "
                                              "enter the code ABCD-EFGH"});
    const std::string grant = "urn:ietf:params:oauth:grant-type:device_code";
    EXPECT_EQ(stub.tokenRequests(), (std::vector<std::string>{grant, grant}));
    // Cancelled while waiting: no more polls.
    const TokenAnswer c = deviceSignIn(
        p, [](const std::string&) {}, [] { return true; });
    EXPECT_EQ(c.error, "cancelled");
}

TEST(LoginCommand, RefusesWhatCannotSignIn) {
    test::TempFolder folder;
    struct Row {
        std::string args;
        int status;
        const char* said;
    };
    for (const Row& r : std::vector<Row>{
             {"", 2, "--provider microsoft|custom is required"},
             {"--provider google", 2, "--provider microsoft|custom is required"},
             {"--provider custom --client-id x --token-url http://login.example/t", 2,
              "the token URL must use https"},
             {"--provider custom --client-id x --token-url https://me@login.example/t", 2,
              "the token URL must not hold a user name"},
             {"--provider custom --token-url https://login.example/t", 2, "no client ID"},
             {"--provider custom --client-id x --token-url https://login.example/t --bogus", 2,
              "unknown option '--bogus'"},
         }) {
        SCOPED_TRACE(r.args);
        const Output o = runVorel("login --folder '" + folder.path() + "' " + r.args);
        EXPECT_EQ(o.status, r.status) << o.out;
        EXPECT_NE(o.out.find(r.said), std::string::npos) << o.out;
    }
    if (builtInMicrosoftClientId().empty()) {
        const Output o = runVorel("login --folder '" + folder.path() + "' --provider microsoft");
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.out.find("--provider microsoft --client-id ID"), std::string::npos) << o.out;
    }
    EXPECT_FALSE(fs::exists(folder.file(kSignInFile)));
}

}  // namespace
}  // namespace vorel
