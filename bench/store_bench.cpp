// Figures of the stored-data layer, each printed beside the floor it is
// compared with, measured in the same run:
//  a) 100,000 queue records appended one open/close at a time and read back,
//     against a plain C fopen/fwrite/fclose loop and the same bytes in one go;
//  b) 1,000,000 members added to one list with the per-address look-up, in one
//     transaction, against one INSERT ... SELECT DISTINCT into the same table;
//  c) finding one member by address in that list.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/AppFolder.h"
#include "store/Database.h"
#include "store/Queue.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void verdict(const char* what, double value, double floor, double factor) {
    std::printf("  %-44s %.3f s vs %.3f s = %.2fx (goal <= %.1fx): %s\n", what, value, floor,
                value / floor, factor, value <= factor * floor ? "met" : "NOT MET");
}

vorel::QueueRecord sampleRecord(int i) {
    std::string n = std::to_string(i);
    return {"member" + n + "@example.com", "news@example.org", "Weekly letter " + n,
            "Dear member " + n +
                ",\r\nthis is the text of this week's letter, two lines long\r\n"
                "and a third one to sign it.\r\n-- \r\nThe editors"};
}

// The reference writer: what a plain C program does per record.
void cAppend(const char* path, int i) {
    char buf[512];
    int len = std::snprintf(buf, sizeof buf,
                            "member%d@example.com\r\n\xFF\r\nnews@example.org\r\n\xFF\r\n"
                            "Weekly letter %d\r\n\xFF\r\nDear member %d,\r\nthis is the text "
                            "of this week's letter, two lines long\r\nand a third one to sign "
                            "it.\r\n-- \r\nThe editors\r\n\xFF\r\n",
                            i, i, i);
    FILE* f = std::fopen(path, "ab");
    if (!f) {
        throw std::runtime_error("cannot open the reference queue");
    }
    std::fwrite(buf, 1, static_cast<std::size_t>(len), f);
    std::fclose(f);
}

std::string slurp(const std::string& path) {
    std::string all;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        throw std::runtime_error("cannot read " + path);
    }
    char buf[1 << 16];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        all.append(buf, n);
    }
    std::fclose(f);
    return all;
}

void queueBench(const std::string& dir) {
    constexpr int kRecords = 100000;
    std::printf("a) queue, %d records\n", kRecords);
    const std::string queue = vorel::joinPath(dir, vorel::kQueueFile);
    const std::string ref = vorel::joinPath(dir, "reference.txt");

    auto t = Clock::now();
    for (int i = 0; i < kRecords; ++i) {
        cAppend(ref.c_str(), i);
    }
    double cLoop = seconds(t);

    t = Clock::now();
    for (int i = 0; i < kRecords; ++i) {
        vorel::appendQueueRecord(dir, sampleRecord(i));
    }
    double append = seconds(t);

    const std::string bytes = slurp(queue);
    if (bytes != slurp(ref)) {
        throw std::runtime_error("the queue differs from the reference bytes");
    }
    t = Clock::now();
    {
        FILE* f = std::fopen(ref.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    double oneWrite = seconds(t);

    t = Clock::now();
    {
        FILE* f = std::fopen(ref.c_str(), "wb");
        for (int i = 0; i < kRecords; ++i) {
            vorel::QueueRecord r = sampleRecord(i);
            for (const std::string* field : {&r.to, &r.from, &r.subject, &r.body}) {
                std::fwrite(field->data(), 1, field->size(), f);
                std::fwrite("\r\n\xFF\r\n", 1, 5, f);
            }
        }
        std::fclose(f);
    }
    double keptOpen = seconds(t);

    t = Clock::now();
    std::size_t oneRead = slurp(queue).size();
    double oneReadTime = seconds(t);

    t = Clock::now();
    int count = 0;
    std::size_t fieldBytes = 0;
    {
        vorel::QueueReader reader(queue);
        while (!reader.atEnd()) {
            vorel::QueueRecord r = reader.readRecord();
            fieldBytes += r.to.size() + r.from.size() + r.subject.size() + r.body.size();
            ++count;
        }
    }
    double readBack = seconds(t);
    if (count != kRecords || oneRead != bytes.size()) {
        throw std::runtime_error("read back " + std::to_string(count) + " records");
    }

    std::printf("  file size %zu bytes, %zu field bytes read back\n", bytes.size(), fieldBytes);
    std::printf("  append, open/close per record (ours)      %.3f s\n", append);
    std::printf("  reference: C fopen/fwrite/fclose per rec.  %.3f s\n", cLoop);
    std::printf("  reference: C file kept open                %.3f s\n", keptOpen);
    std::printf("  floor: same bytes written in one go        %.3f s\n", oneWrite);
    std::printf("  read back record by record (ours)          %.3f s\n", readBack);
    std::printf("  floor: same bytes read in one go           %.3f s\n", oneReadTime);
    verdict("append vs C open/close loop", append, cLoop, 1.5);
}

std::string address(int i) {
    // Odd multiplier: a permutation of 32-bit numbers, so addresses are unique
    // but arrive in no particular order, like an imported list.
    unsigned v = static_cast<unsigned>(i) * 2654435761u;
    char buf[64];
    std::snprintf(buf, sizeof buf, "user%08x.%d@mail%d.example.com", v, i % 97, i % 1000);
    return buf;
}

void exec(sqlite3* db, const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        std::string why = msg ? msg : "?";
        sqlite3_free(msg);
        throw std::runtime_error(why);
    }
}

void memberBench(const std::string& dir) {
    constexpr int kMembers = 1000000;
    std::printf("b) %d members added to one list\n", kMembers);
    std::vector<std::string> addresses;
    addresses.reserve(kMembers);
    for (int i = 0; i < kMembers; ++i) {
        addresses.push_back(address(i));
    }

    // Floor: the same table, filled by SQLite alone.
    const std::string floorPath = vorel::joinPath(dir, "floor.mdb");
    vorel::Database::createIfMissing(floorPath);
    vorel::Database::upgradeSchema(floorPath);
    double staging = 0;
    double bulk = 0;
    {
        vorel::Database::open(floorPath);  // same journal settings as ours
        sqlite3* db = nullptr;
        sqlite3_open(floorPath.c_str(), &db);
        exec(db, "PRAGMA synchronous = NORMAL; PRAGMA cache_size = -65536;");
        auto t = Clock::now();
        exec(db, "BEGIN; CREATE TEMP TABLE staging (a TEXT COLLATE NOCASE)");
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO staging VALUES (?1)", -1, &s, nullptr);
        for (const auto& a : addresses) {
            sqlite3_bind_text(s, 1, a.data(), static_cast<int>(a.size()), SQLITE_STATIC);
            sqlite3_step(s);
            sqlite3_reset(s);
        }
        sqlite3_finalize(s);
        staging = seconds(t);
        t = Clock::now();
        exec(db,
             "INSERT INTO emails (name, Email, Data) SELECT DISTINCT 'LIST', a, '' FROM staging;"
             " COMMIT");
        bulk = seconds(t);
        sqlite3_close(db);
    }

    const std::string path = vorel::joinPath(dir, "data.mdb");
    vorel::Database::createIfMissing(path);
    vorel::Database::upgradeSchema(path);
    vorel::Database db = vorel::Database::open(path);
    auto t = Clock::now();
    db.begin();
    int added = 0;
    for (const auto& a : addresses) {
        if (!db.findMember("LIST", a)) {
            db.addMember({0, "LIST", a, ""});
            ++added;
        }
    }
    db.commit();
    double ours = seconds(t);
    if (added != kMembers || db.memberCount("list") != kMembers) {
        throw std::runtime_error("members added: " + std::to_string(added));
    }
    std::printf("  findMember + addMember each, one transaction %.3f s\n", ours);
    std::printf("  floor: INSERT ... SELECT DISTINCT             %.3f s\n", bulk);
    std::printf("  (loading the floor's staging table            %.3f s)\n", staging);
    verdict("per-address adds vs bulk insert", ours, bulk, 1.5);

    std::printf("c) one member found by address in that list\n");
    constexpr int kLookups = 20000;
    std::vector<double> times;
    times.reserve(kLookups);
    t = Clock::now();
    int hits = 0;
    for (int i = 0; i < kLookups; ++i) {
        // Every other look-up misses; upper case checks the NOCASE index.
        std::string a = (i % 2) ? address((i * 7919) % kMembers) : "nobody" + std::to_string(i);
        for (char& c : a) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        auto one = Clock::now();
        hits += db.findMember("List", a) ? 1 : 0;
        times.push_back(seconds(one));
    }
    double avg = seconds(t) / kLookups;
    if (hits != kLookups / 2) {
        throw std::runtime_error("look-ups found " + std::to_string(hits));
    }
    std::sort(times.begin(), times.end());
    double p99 = times[times.size() * 99 / 100];
    std::printf(
        "  %d look-ups: average %.1f us, median %.1f us, 99th percentile %.1f us,"
        " slowest %.1f us\n",
        kLookups, avg * 1e6, times[times.size() / 2] * 1e6, p99 * 1e6, times.back() * 1e6);
    std::printf("  99th percentile under 1 ms: %s\n", p99 < 1e-3 ? "met" : "NOT MET");

    sqlite3* raw = nullptr;
    sqlite3_open(path.c_str(), &raw);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(raw,
                       "EXPLAIN QUERY PLAN SELECT rowid, name, Email, Data FROM emails WHERE name ="
                       " ?1 COLLATE NOCASE AND Email = ?2 COLLATE NOCASE ORDER BY rowid LIMIT 1",
                       -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) {
        std::printf("  query plan: %s\n", sqlite3_column_text(s, 3));
    }
    sqlite3_finalize(s);
    sqlite3_close(raw);
}

}  // namespace

int main() {
    std::string dir = (std::filesystem::temp_directory_path() / "vorel-bench-XXXXXX").string();
    if (!mkdtemp(dir.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    int rc = 0;
    try {
        queueBench(dir);
        memberBench(dir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "store_bench: %s\n", e.what());
        rc = 1;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc;
}
