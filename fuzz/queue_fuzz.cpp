// msgqueue.txt as the sending step reads it: damaged or hand-edited queues
// must read without harm, and a record put back reads back the same.
#include <cstdio>
#include <vector>

#include "FuzzSupport.h"
#include "store/Queue.h"

using namespace vorel;

namespace {

std::vector<QueueRecord> readAll(const std::string& path, std::size_t limit) {
    std::vector<QueueRecord> records;
    QueueReader reader(path);
    while (!reader.atEnd() && records.size() < limit) {
        records.push_back(reader.readRecord());
    }
    return records;
}

// A field cut off by the end of the file reads as empty and is written back
// as an empty line.
bool same(const QueueRecord& asRead, const QueueRecord& b) {
    auto f = [](const std::string& s) { return s.empty() ? std::string("\r\n") : s; };
    return f(asRead.to) == b.to && f(asRead.from) == b.from && f(asRead.subject) == b.subject &&
           f(asRead.body) == b.body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string folder = fuzz::scratchFolder();
    const std::string queue = folder + "/" + kQueueFile;
    const std::string fresh = folder + "/" + kQueueNewFile;
    std::remove(fresh.c_str());
    fuzz::writeFile(queue, fuzz::bytes(data, size));

    const std::vector<QueueRecord> records = readAll(queue, 1000);
    for (const auto& r : records) {
        messageFileOfBody(folder, r.body);
        requeueRecord(folder, r);
    }
    // Put back and read again: the same records, however often.
    const std::vector<QueueRecord> again =
        records.empty() ? records : readAll(fresh, records.size() + 1);
    VOREL_FUZZ_CHECK(again.size() == records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        VOREL_FUZZ_CHECK(same(records[i], again[i]));
    }

    // One record sent, the rest carried over unchanged.
    {
        QueueReader reader(queue);
        if (!reader.atEnd()) {
            reader.readRecord();
        }
        reader.carryOverTo(fresh);
        reader.close();
    }
    const std::string before = fuzz::readFile(queue);
    replaceQueue(folder, before.size());

    // The same bytes as lines of msgqueue.pending: a note that checks out
    // names a range, anything else is skipped without harm.
    const std::string text = fuzz::bytes(data, size);
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t nl = text.find('\n', start);
        const bool ended = nl != std::string::npos;
        readJournalNote(text.substr(start, ended ? nl - start : std::string::npos), ended);
        if (!ended) {
            break;
        }
        start = nl + 1;
    }
    return 0;
}
