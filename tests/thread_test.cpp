// The run on a worker thread, stopped from another thread, as the run window
// does it. Built with ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/RunFolder.h"

namespace vorel {
namespace {

TEST(ThreadedRun, StopFromAnotherThreadFinishesTheMessageAtHand) {
    test::PopServer pop;
    test::SmtpServer smtp;
    test::RunFolder f;
    f.pointAt(pop);
    f.pointAt(smtp);
    f.addAutoresponder("info@me.example");
    for (int i = 0; i < 40; ++i) {
        pop.addMessage("From: p" + std::to_string(i) +
                       "@x.example\nTo: info@me.example\nSubject: hi\n\nHello.\n");
    }
    // The host is the worker's until the join; only these flags are shared.
    std::atomic<bool> answered{false}, stop{false};
    f.host.setOnLogEntry([&](const std::string& line) {
        answered = answered || line.rfind("Autoresponder INFO Message Sent", 0) == 0;
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
    worker.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(f.host.countLogContaining("Mail Run Cancelled by User"), 1);
    EXPECT_EQ(f.host.countLogContaining("Process complete... Starting message send"), 0);
    EXPECT_GE(f.host.countLogContaining("Autoresponder INFO Message Sent"), 1);
    EXPECT_LT(f.host.countLogContaining("Autoresponder INFO Message Sent"), 40);
    EXPECT_TRUE(smtp.received().empty());
}

}  // namespace
}  // namespace vorel
