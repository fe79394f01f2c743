// A member import file and the member editor's add box, stored through the
// real database.
#include <cstdio>
#include <sstream>

#include "FuzzSupport.h"
#include "forms/MemberRules.h"
#include "store/Database.h"

using namespace vorel;

namespace {

Database& database() {
    static Database db = [] {
        const std::string path = fuzz::scratchFolder() + "/data.mdb";
        Database::createIfMissing(path);
        Database::upgradeSchema(path);
        Database d = Database::open(path);
        MailingList l;
        l.Name = "LIST";
        d.addList(l);
        return d;
    }();
    return db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Database& db = database();
    const std::string text = fuzz::bytes(data, size);
    std::size_t statusLines = 0;
    std::istringstream in(text);
    const ImportResult r = importAddresses(
        db, "LIST", in,
        [&](const std::vector<std::string>& lines) { statusLines += lines.size(); });
    VOREL_FUZZ_CHECK(r.ok);
    VOREL_FUZZ_CHECK(statusLines == r.added + r.present + r.invalid);
    VOREL_FUZZ_CHECK(db.memberCount("LIST") == static_cast<std::int64_t>(r.added));
    // The same file again adds nothing.
    std::istringstream again(text);
    VOREL_FUZZ_CHECK(importAddresses(db, "LIST", again, {}).added == 0);
    db.deleteMembersOf("LIST");

    splitAddBox(text);
    addAddresses(db, "LIST", text);
    db.deleteMembersOf("LIST");
    return 0;
}
