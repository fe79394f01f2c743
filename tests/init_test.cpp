// `vorel init` run as a program: the application folder and data.mdb.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "store/Database.h"
#include "support/TempFolder.h"

using vorel::test::TempFolder;

namespace {

struct Result {
    int exitCode;
    std::string out;
    std::string err;
};

Result runVorel(const std::string& args) {
    TempFolder io;
    std::string cmd = std::string("VOREL_FOLDER= '") + VOREL_BINARY + "' " + args + " >'" +
                      io.file("out") + "' 2>'" + io.file("err") + "'";
    int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, io.read("out"), io.read("err")};
}

TEST(Init, CreatesTheFolderAndTheDatabase) {
    TempFolder f;
    const std::string folder = f.file("x");
    Result r = runVorel("init --folder '" + folder + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, folder + "\n");
    vorel::Database db = vorel::Database::open(folder + "/data.mdb");
    EXPECT_TRUE(db.autoresponders().empty());
    EXPECT_TRUE(db.lists().empty());
    db.addMember({0, "L", "a@b", "data"});  // the Data field is in place
    EXPECT_EQ(db.findMember("L", "A@B")->Data, "data");

    // A second init keeps what is there.
    EXPECT_EQ(runVorel("init --folder '" + folder + "'").exitCode, 0);
    EXPECT_EQ(vorel::Database::open(folder + "/data.mdb").memberCount("L"), 1);
}

TEST(Init, RefusesADataFileThatIsNotADatabase) {
    TempFolder f;
    const std::string junk("Standard Jet DB\0\x01\x02 not SQLite", 29);
    f.write("data.mdb", junk);
    Result r = runVorel("init --folder '" + f.path() + "'");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(f.file("data.mdb")), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(f.read("data.mdb"), junk);
}

}  // namespace
