// The run on a worker thread, stopped from another, as the run window does (TSan in CI).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/RunFolder.h"
#include "support/ScriptedServer.h"

namespace vorel {
namespace {

TEST(ThreadedRun, StopFromAnotherThreadFinishesTheMessageAtHand) {
    test::ServedFolder f;
    f.addAutoresponder("info@me.example");
    for (int i = 0; i < 40; ++i) {
        f.pop.addMessage("From: p" + std::to_string(i) +
                         "@x.example\nTo: info@me.example\nSubject: hi\n\nHello.\n");
    }
    // The host is the worker's until the join; only these flags are shared.
    // The worker waits at its first answer until the stop was asked, so that
    // a loaded machine cannot let it answer all 40 first.
    std::atomic<bool> answered{false}, stop{false}, stopAsked{false};
    f.host.setOnLogEntry([&](const std::string& line) {
        if (line.rfind("Autoresponder INFO Message Sent", 0) == 0) {
            answered = true;
            while (!stopAsked) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    f.host.setOnYield([&] {
        RunRequests asked;
        asked.stop = stop.exchange(false);
        return asked;
    });
    bool ended = false;
    std::thread worker([&] { ended = f.run(); });
    while (!answered) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    stopAsked = true;
    worker.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(f.host.countLogContaining("Mail Run Cancelled by User"), 1);
    EXPECT_EQ(f.host.countLogContaining("Process complete... Starting message send"), 0);
    EXPECT_GE(f.host.countLogContaining("Autoresponder INFO Message Sent"), 1);
    EXPECT_LT(f.host.countLogContaining("Autoresponder INFO Message Sent"), 40);
    EXPECT_TRUE(f.smtp.received().empty());
}

// A server that never greets: the stop is handed over while the component waits, no next try.
TEST(ThreadedRun, StopIsSeenWhileAServerStalls) {
    test::ScriptedServer silent;
    test::RunFolder f;
    f.s.txtPOP = silent.address();
    std::atomic<bool> stop{false};
    bool takenWhileWaiting = false;  // the worker's own
    f.host.setOnYield([&] {
        RunRequests asked;
        asked.stop = stop.exchange(false);
        if (asked.stop) {
            takenWhileWaiting = f.host.countLogContaining("Connect to Host Failed") == 0;
        }
        return asked;
    });
    std::thread worker([&] { f.run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    worker.join();
    EXPECT_TRUE(takenWhileWaiting);
    EXPECT_EQ(f.host.countLogContaining("Connect to Host Failed"), 1);
    EXPECT_EQ(f.host.countLogContaining("Starting again"), 0);
}

}  // namespace
}  // namespace vorel
