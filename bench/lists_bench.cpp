// Figures of the mailing-list work on big lists:
//  a) importing a file of 1,000,000 lines (5% repeats in other letter case)
//     into an empty list with de-duplication and one status line per line;
//  b) reading the 1,000,000 addresses the member window lists;
//  c) posting to 100,000 members: one personalised, noted queue record each,
//     beside the floor: the same records written to a file kept open, one
//     write each, with neither lock nor notes.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/Clock.h"
#include "forms/ListPost.h"
#include "forms/MemberRules.h"
#include "store/AppFolder.h"
#include "store/Database.h"

namespace {

using Steady = std::chrono::steady_clock;

double seconds(Steady::time_point since) {
    return std::chrono::duration<double>(Steady::now() - since).count();
}

long peakKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void verdict(const char* what, double value, double goal) {
    std::printf("  %-52s %.3f s (goal < %.1f s): %s\n", what, value, goal,
                value < goal ? "met" : "NOT MET");
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/vorel-lists-bench-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string dbPath = vorel::joinPath(dir, "data.mdb");
    vorel::Database::createIfMissing(dbPath);
    vorel::Database::upgradeSchema(dbPath);
    vorel::Database db = vorel::Database::open(dbPath);

    const std::string file = vorel::joinPath(dir, "in.txt");
    {
        std::ofstream out(file, std::ios::binary);
        for (int i = 0; i < 1000000; ++i) {
            if (i % 20 == 19) {
                out << "MEMBER" << (i - 1) << "@EXAMPLE.COM\r\n";
            } else {
                out << "Member " << i << " <member" << i << "@example.com>\r\n";
            }
        }
    }
    std::printf("lists bench in %s\n", dir.c_str());
    std::size_t statusLines = 0;
    auto t = Steady::now();
    const vorel::ImportResult r = vorel::importFile(
        db, "BIG", file,
        [&](const std::vector<std::string>& lines) { statusLines += lines.size(); });
    verdict("import 1,000,000 lines, de-duplicated", seconds(t), 12.0);
    std::printf("    added %zu, already in list %zu, status lines %zu, ok %d\n", r.added, r.present,
                statusLines, r.ok ? 1 : 0);
    // Nothing before the import holds much: the process's peak is the import's.
    std::printf("    peak memory after the import: %ld KB (goal < 50 MB)\n", peakKb());

    t = Steady::now();
    const std::vector<vorel::MemberEntry> entries = vorel::memberEntries(db, "BIG");
    verdict("read the 950,000 addresses the member window lists", seconds(t), 1.0);
    std::printf("    %zu entries\n", entries.size());

    {
        vorel::Member m;
        m.name = "POST";
        db.begin();
        for (int i = 0; i < 100000; ++i) {
            m.Email = "reader" + std::to_string(i) + "@example.com";
            m.Data = "%vorelcode%~name=Reader " + std::to_string(i) + "~";
            db.addMember(m);
        }
        db.commit();
    }
    vorel::ListPost post;
    post.listName = "POST";
    post.from = "news@example.org";
    post.subject = "Weekly letter";
    post.message = "Dear %name%,\r\nthe news of %date% at %time%.\r\n";
    post.footer = "--\r\nTo leave, write to leave@example.org";
    vorel::SystemClock clock;
    // The floor: the personalised records, written to a file kept open.
    t = Steady::now();
    {
        const int fd =
            ::open(vorel::joinPath(dir, "floor.txt").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
        db.forEachMember("POST", [&](const vorel::Member& m) {
            const std::string record = m.Email + "\r\n\xFF\r\n" + post.from + "\r\n\xFF\r\n" +
                                       post.subject + "\r\n\xFF\r\n" +
                                       vorel::personalisedBody(post, clock.now(), m.Data) +
                                       "\r\n\xFF\r\n";
            if (::write(fd, record.data(), record.size()) < 0) {
                std::perror("floor");
            }
        });
        ::close(fd);
    }
    const double floor = seconds(t);
    t = Steady::now();
    const std::size_t queued = vorel::postToList(db, dir, post, clock);
    const double took = seconds(t);
    verdict("post to 100,000 members (queue + notes)", took, 3.0);
    std::printf("    %zu records queued; kept-open floor %.3f s, post / floor %.2f (goal <= 2)\n",
                queued, floor, took / floor);

    fs::remove_all(dir);
    return 0;
}
