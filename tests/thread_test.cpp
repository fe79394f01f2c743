// The run on a worker thread, stopped from another thread, as the run window
// does it. Built with ThreadSanitizer in CI.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "net/CurlMailComponent.h"
#include "run/MailRun.h"
#include "store/Database.h"
#include "store/FileLock.h"
#include "store/Settings.h"
#include "support/FixedClock.h"
#include "support/TempFolder.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

using namespace std::chrono_literals;

// A host whose stop button is pressed from another thread.
class ThreadHost : public RunHost {
public:
    void setStatus(const std::string&) override {}
    void addLogEntry(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back(text);
    }
    void addDebugLine(const std::string&) override {}
    void clearDebugLines() override {}
    void setDebugModeBox(bool) override {}
    void showMessage(const std::string& text) override { addLogEntry("message " + text); }
    bool askYesNo(const std::string&) override { return false; }
    RunRequests yield() override {
        RunRequests asked;
        asked.stop = stop_.exchange(false);
        if (asked.stop) {
            handedOver_ = true;
        }
        return asked;
    }

    void pressStop() { stop_ = true; }
    bool handedOver() const { return handedOver_; }
    std::vector<std::string> log() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    int count(const std::string& part) const {
        int n = 0;
        for (const auto& line : log()) {
            n += line.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> log_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> handedOver_{false};
};

struct ThreadedRun : ::testing::Test {
    test::TempFolder folder;
    ThreadHost host;
    test::FixedClock clock{LocalTime{2026, 12, 6, 8, 5, 7}};
    Settings s;

    ThreadedRun() {
        Database::createIfMissing(folder.file("data.mdb"));
        Database::upgradeSchema(folder.file("data.mdb"));
        s.txtTIMEOUT = "5";
        s.txtRUNPROGRAM = "";
    }
    // Runs on a worker thread; `whileRunning` runs on this one meanwhile.
    bool runOnWorker(const std::function<void()>& whileRunning) {
        writeSettings(folder.path(), s);
        bool ended = false;
        std::thread worker([&] {
            CurlMailComponent mail;
            MailRun run(folder.path(), host, mail, clock);
            ended = run.doRunMail();
        });
        whileRunning();
        worker.join();
        return ended;
    }
};

TEST_F(ThreadedRun, StopFromAnotherThreadFinishesTheMessageAtHand) {
    test::PopServer pop;
    test::SmtpServer smtp;
    s.txtPOP = pop.host() + ":" + std::to_string(pop.port());
    s.txtUSERID = pop.user();
    s.txtPASSWORD = pop.password();
    s.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
    Autoresponder a;
    a.Name = "INFO";
    a.To = "info@me.example";
    a.msgfrom = "robot@me.example";
    a.msgsubject = "Re";
    a.message = "Thanks";
    Database::open(folder.file("data.mdb")).addAutoresponder(a);
    constexpr int kMessages = 40;
    for (int i = 0; i < kMessages; ++i) {
        pop.addMessage("From: p" + std::to_string(i) +
                       "@x.example\nTo: info@me.example\nSubject: hi\n\nHello.\n");
    }

    EXPECT_TRUE(runOnWorker([&] {
        while (host.count("Autoresponder INFO Message Sent") == 0) {
            std::this_thread::sleep_for(1ms);
        }
        host.pressStop();
    }));
    EXPECT_EQ(host.count("Mail Run Cancelled by User"), 1);
    EXPECT_EQ(host.count("Process complete... Starting message send"), 0);
    const int answered = host.count("Autoresponder INFO Message Sent");
    EXPECT_GE(answered, 1);
    EXPECT_LT(answered, kMessages);
    EXPECT_TRUE(smtp.received().empty());
}

// A server that takes the connection and never greets: the stop is seen
// while libcurl still waits, so the failed try is the last one.
TEST_F(ThreadedRun, StopIsSeenWhileAServerStalls) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    s.txtPOP = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    runOnWorker([&] {
        std::this_thread::sleep_for(300ms);
        host.pressStop();
    });
    ::close(listener);
    EXPECT_TRUE(host.handedOver());
    EXPECT_EQ(host.count("Connect to Host Failed"), 1);
    EXPECT_EQ(host.count("Starting again"), 0);
}

// A second run in the same folder says so and
// touches nothing; the lock goes with the process that held it.
TEST_F(ThreadedRun, OneRunPerFolder) {
    writeSettings(folder.path(), s);
    {
        FileLock held(folder.file(kRunLockFile), false);
        ASSERT_TRUE(held.held());
        CurlMailComponent mail;
        MailRun run(folder.path(), host, mail, clock);
        EXPECT_FALSE(run.doRunMail());
        EXPECT_TRUE(run.state().alreadyRunning);
        EXPECT_EQ(host.log(), std::vector<std::string>{
                                  "message a mail run is already in progress in " + folder.path()});
        EXPECT_FALSE(folder.exists("log.txt"));
    }
    FileLock again(folder.file(kRunLockFile), false);
    EXPECT_TRUE(again.held());
}

}  // namespace
}  // namespace vorel
