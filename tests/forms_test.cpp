// The rules behind the windows' buttons, without a window.
#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "forms/AutoresponderEditor.h"
#include "forms/Autostart.h"
#include "forms/ConnectionCheck.h"
#include "forms/ListOverlap.h"
#include "forms/ListRules.h"
#include "forms/MemberEdit.h"
#include "forms/MemberRules.h"
#include "forms/Notices.h"
#include "forms/SettingsSave.h"
#include "forms/SetupForm.h"
#include "run/AccountLogin.h"
#include "store/Database.h"
#include "store/PostingTrust.h"
#include "store/SendLimits.h"
#include "support/MemoryKeyring.h"
#include "support/TempFolder.h"

namespace vorel {
namespace {

namespace fs = std::filesystem;

struct FormsTest : ::testing::Test {
    test::TempFolder f;
    Database db = [this] {
        Database::createIfMissing(f.file("data.mdb"));
        Database::upgradeSchema(f.file("data.mdb"));
        return Database::open(f.file("data.mdb"));
    }();
};

void expectOutcome(const Outcome& got, bool ok, const std::string& message) {
    EXPECT_EQ(got.ok, ok) << got.message;
    EXPECT_EQ(got.message, message);
}

// Import and export: done with the closing text, or refused with the reason.
TEST_F(FormsTest, ImportAndExportSayWhatHappened) {
    const std::string missing = f.file("missing.txt");
    const ImportResult notRead = importFile(db, "NEWS", missing, {});
    EXPECT_FALSE(notRead.ok);
    EXPECT_EQ(notRead.message.rfind(std::string(kImportFailed) + "cannot open " + missing, 0), 0u)
        << notRead.message;
    f.write("list.txt", "ann@x.example\r\nbob@x.example\r\n");
    const ImportResult read = importFile(db, "NEWS", f.file("list.txt"), {});
    expectOutcome(read, true, kImportDone);
    EXPECT_EQ(read.added, 2u);

    // Elsewhere than the database's folder, whose files are never export targets.
    test::TempFolder out;
    expectOutcome(exportMembers(db, "NEWS", out.file("out.txt")), true, kExportComplete);
    EXPECT_EQ(out.read("out.txt"), "ann@x.example\r\nbob@x.example\r\n");
    fs::create_directories(out.file("folder"));
    expectOutcome(exportMembers(db, "NEWS", out.file("folder")), false,
                  "cannot write " + out.file("folder") + ": it is a folder");
}

// The autoresponder editor's Save refuses a missing name, a senseless period or reply days.
TEST_F(FormsTest, AutoresponderSaveSaysWhatHappened) {
    AutoresponderEditor editor(f.file("data.mdb"));
    Autoresponder typed;
    expectOutcome(editor.save(typed), false, AutoresponderEditor::kNameMissing);
    typed.Name = "info";
    struct Case {
        const char *from, *until;
        std::int64_t days;
        const char* refused;
    };
    const Case refused[] = {
        {"2026-12-20", "", 0, AutoresponderEditor::kPeriodUnreadable},
        {"", "2026-02-30 09:00:00", 0, AutoresponderEditor::kPeriodUnreadable},
        {"2026-12-20 09:00:00", "2026-12-20 09:00:00", 0, AutoresponderEditor::kPeriodEmpty},
        {"", "", -1, AutoresponderEditor::kReplyDaysNegative},
    };
    for (const Case& c : refused) {
        typed.activefrom = c.from;
        typed.activeuntil = c.until;
        typed.replydays = c.days;
        expectOutcome(editor.save(typed), false, c.refused);
    }
    EXPECT_TRUE(editor.names().empty());
    typed.activefrom = " 2026-12-20 09:00:00 ";
    typed.activeuntil = "";
    typed.replydays = 3;
    expectOutcome(editor.save(typed), true, AutoresponderEditor::kSaved);
    EXPECT_EQ(editor.names(), std::vector<std::string>{"info"});
    EXPECT_EQ(editor.find("info")->activefrom, "2026-12-20 09:00:00");
}

// Delete Log: a missing log is no failure; one that cannot go is named.
TEST_F(FormsTest, DeleteLogSaysWhatHappened) {
    expectOutcome(deleteRunLog(f.path()), true, "");
    f.write("log.txt", "a run\r\n");
    expectOutcome(deleteRunLog(f.path()), true, "");
    EXPECT_FALSE(f.exists("log.txt"));
    fs::create_directories(f.file("log.txt/x"));
    const Outcome kept = deleteRunLog(f.path());
    EXPECT_FALSE(kept.ok);
    EXPECT_EQ(kept.message.rfind("Could not delete " + f.file("log.txt") + ": ", 0), 0u)
        << kept.message;
}

// A connection test outlives its window but not the program: joinAll waits for all.
TEST(BackgroundWork, JoinAllWaitsForEveryThread) {
    BackgroundWork work;
    std::atomic<int> done{0};
    for (int i = 0; i < 4; ++i) {
        work.start([&done, i] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 * i));
            ++done;
        });
    }
    work.joinAll();
    EXPECT_EQ(done, 4);
    work.start([&done] { ++done; });
    work.joinAll();
    EXPECT_EQ(done, 5);
}

TEST(MemberSave, SaysWhatItDoesAndReplacesNobodyUnasked) {
    struct Case {
        bool onMember;
        const char* typed;
        MemberSaveCheck::Step step;
        const char* said;
        const char* current = "ann@x.example";
    } const cases[] = {
        {false, "new@x.example", MemberSaveCheck::NoMember, kNoMemberToSave},
        {true, "", MemberSaveCheck::Invalid, kNoRecordShown},
        {true, kNotFound, MemberSaveCheck::Invalid, kNoRecordShown},
        {true, "no-at-sign", MemberSaveCheck::Invalid, kInvalidAddress},
        {true, "ann@x.example", MemberSaveCheck::Unchanged, kMemberUnchanged},
        {true, "anne@x.example", MemberSaveCheck::Change,
         "Changed ann@x.example to anne@x.example."},
        {true, "a@x.example, b@x.example", MemberSaveCheck::Invalid, kInvalidAddress},
        {true, "ann@x.example\uFF0Cb\uFF20x.example", MemberSaveCheck::Invalid, kInvalidAddress},
        {true, "\xE9t\xE9@x.example", MemberSaveCheck::Invalid, kInvalidAddress},
        // Said and stored in the one form every look-up uses.
        {true, "ann@xn--mller-kva.example", MemberSaveCheck::Unchanged, kMemberUnchanged,
         "ann@m\u00FCller.example"},
        {true, "bo@XN--MLLER-KVA.example", MemberSaveCheck::Change,
         "Changed ann@m\u00FCller.example to bo@m\u00FCller.example.", "ann@m\u00FCller.example"},
    };
    for (const Case& c : cases) {
        const MemberSaveCheck got = checkMemberSave(c.onMember, c.current, c.typed);
        EXPECT_EQ(got.step, c.step) << c.typed;
        EXPECT_EQ(got.message, c.said) << c.typed;
    }
}

// Save changes the row shown even where members share its address, Search
// finds what the editor lists, Release starts the count again.
TEST_F(FormsTest, MemberButtonsChangeTheMemberShown) {
    for (const char* a : {"ann@x.example", "ann@x.example", "bob@x.example"}) {
        db.addMember({0, "NEWS", a, "data"});
    }
    std::vector<MemberEntry> entries = memberEntries(db, "NEWS");
    const MemberSaved saved = saveMember(db, "NEWS", &entries[1], "anne@XN--MLLER-KVA.example");
    expectOutcome(saved, true, "Changed ann@x.example to anne@m\u00FCller.example.");
    EXPECT_EQ(saved.stored, "anne@m\u00FCller.example");
    EXPECT_EQ(db.members("NEWS")[0].Email, "ann@x.example");
    EXPECT_EQ(db.members("NEWS")[1].Email, "anne@m\u00FCller.example");
    EXPECT_EQ(db.members("NEWS")[1].Data, "data");
    expectOutcome(saveMember(db, "NEWS", nullptr, "carl@x.example"), false, kNoMemberToSave);
    removeMember(db, &entries[2]);
    const MemberSaved gone = saveMember(db, "NEWS", &entries[2], "carl@x.example");
    expectOutcome(gone, false, kMemberGone);
    EXPECT_TRUE(gone.gone);
    EXPECT_FALSE(db.findMember("NEWS", "carl@x.example"));

    entries = memberEntries(db, "NEWS");
    EXPECT_EQ(searchMembers(db, "NEWS", entries, "M\u00FCLLER").index, 1u);
    EXPECT_EQ(searchMembers(db, "NEWS", entries, "zed").index, entries.size());
    // Listed alone (held members only), the first match is not there.
    EXPECT_EQ(searchMembers(db, "NEWS", {entries[1]}, "ann").index, 1u);
    expectOutcome(searchMembers(db, "NEWS", entries, ""), false, kEnterSearch);

    for (std::int64_t day = 10; day < 13; ++day) {
        db.recordBounce("ann@x.example", "NEWS", day);
    }
    EXPECT_TRUE(isHeld(memberEntries(db, "NEWS")[0], 12));
    expectOutcome(releaseHeld(db, "NEWS", "ann@x.example"), true,
                  "ann@x.example is released and gets the list's copies again.");
    EXPECT_FALSE(isHeld(memberEntries(db, "NEWS")[0], 12));
}

// Ok's writes in order, a failed one stopping the rest; only a new password's place is said.
TEST(SettingsSave, WritesInOrderAndMovesTheNewPassword) {
    test::TempFolder f;
    SettingsSave save;
    save.setup.settings.txtPOP = "pop.x.example";
    save.setup.settings.txtPASSWORD = "pw";
    save.limits = {500, 30};
    save.posting = {"mx.x.example", false};
    save.notices = false;
    // Nothing chosen on the Sign In tab and no keyring: the old rules.
    SettingsSaved saved = saveSettings(f.path(), save, nullptr);
    EXPECT_TRUE(saved.ok) << saved.message;
    EXPECT_EQ(readPostingTrust(f.path()).authservId, "mx.x.example");
    EXPECT_FALSE(noticesWanted(f.path()));
    EXPECT_EQ(saved.passwordPlace.rfind("The password stays in clear text on line 4", 0), 0u);
    EXPECT_FALSE(f.exists(kSignInFile));
    Settings stored;
    readSettingsLines(f.path(), stored);
    EXPECT_EQ(stored.txtPASSWORD, "pw");
    EXPECT_EQ(readSendLimits(f.path()).pace, 30);

    test::MemoryKeyring keyring;
    std::vector<std::string> waits;
    const SecretWait wait{[&](bool asked) { waits.push_back(asked ? "keyring" : "file"); },
                          [&] { waits.push_back("after"); }};
    save.loadedPassword = "pw";
    saved = saveSettings(f.path(), save, &keyring, wait);
    EXPECT_EQ(saved.passwordPlace, "");  // not a new password
    EXPECT_EQ(keyring.secrets[kPasswordKey], "pw");
    readSettingsLines(f.path(), stored);
    EXPECT_EQ(stored.txtPASSWORD, "");
    save.signIn.secretsInFolder = true;
    save.setup.settings.txtPASSWORD = "pw2";
    saved = saveSettings(f.path(), save, &keyring, wait);
    EXPECT_EQ(saved.passwordPlace,
              "The password is kept in the application folder, in clear text in a file only you "
              "can read.");
    EXPECT_EQ(FileSecretStore(f.path()).readSecret(kPasswordKey), "pw2");
    EXPECT_EQ(waits, (std::vector<std::string>{"keyring", "after", "file", "after"}));

    // A write that fails stops those after it.
    fs::remove(f.file("setup.ini"));
    fs::create_directories(f.file("setup.ini/x"));
    save.limits = {1, 1};
    save.notices = true;
    EXPECT_FALSE(saveSettings(f.path(), save, &keyring).ok);
    EXPECT_EQ(readSendLimits(f.path()).pace, 30);
    EXPECT_FALSE(noticesWanted(f.path()));
    fs::remove_all(f.file("setup.ini"));
    fs::remove(f.file(kSignInFile));
    fs::create_directories(f.file(std::string(kSignInFile) + "/x"));
    EXPECT_FALSE(saveSettings(f.path(), save, &keyring).ok);
    EXPECT_FALSE(f.exists("setup.ini"));
}

TEST(ListOverlap, WarnsWhenSubscribeAndUnsubscribeMatchTheSameMessages) {
    struct Case {
        const char* subTo;
        const char* subSubject;
        const char* unsubTo;
        const char* unsubSubject;
        const char* names;  // what the warning names, empty for none
    } const cases[] = {
        {"news@me.example", "subscribe", "NEWS@me.example", "unsubscribe", "the To address"},
        {"news@me.example", "", "news@me.example,", "", "the To address"},
        {"<news@me.example>", "", "news@me.example", "", "the To address"},  // as the run reads it
        {"", "join", "", "JOIN", "the Subject \"join\""},
        {"news@me.example", "join", "news@me.example", "join", "\" and the Subject"},
        {"join@me.example", "subscribe", "leave@me.example", "unsubscribe", ""},
        {"", "", "", "", ""},  // empty fields share nothing
    };
    for (const Case& c : cases) {
        MailingList l;
        l.Name = "NEWS";
        l.onsubscribeto = c.subTo;
        l.onsubscribesubject = c.subSubject;
        l.onunsubscribeto = c.unsubTo;
        l.onunsubscribesubject = c.unsubSubject;
        const std::string said = requestOverlapWarning(l);
        if (*c.names) {
            EXPECT_NE(said.find(c.names), std::string::npos) << said;
            EXPECT_NE(said.find("To OR Subject"), std::string::npos) << said;
        } else {
            EXPECT_EQ(said, "") << c.subTo << c.subSubject;
        }
    }
}

// The Exec line as a desktop reads it: string escapes, field codes, then the
// shell-like quoting (GLib's parsers, which GNOME and others use).
std::vector<std::string> execArgv(const std::string& entryText) {
    GKeyFile* file = g_key_file_new();
    std::vector<std::string> argv;
    if (g_key_file_load_from_data(file, entryText.data(), entryText.size(), G_KEY_FILE_NONE,
                                  nullptr)) {
        gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
        std::string line = exec ? exec : "";
        g_free(exec);
        for (std::size_t at = 0; (at = line.find("%%", at)) != std::string::npos; ++at) {
            line.erase(at, 1);
        }
        gchar** args = nullptr;
        if (g_shell_parse_argv(line.c_str(), nullptr, &args, nullptr)) {
            for (gchar** a = args; *a; ++a) {
                argv.emplace_back(*a);
            }
            g_strfreev(args);
        }
    }
    g_key_file_free(file);
    return argv;
}

// Every character a folder may hold comes back unchanged; control characters are refused.
TEST(Autostart, ExecArgumentsSurviveTheDesktopsParsing) {
    const char* const folders[] = {
        "/home/ann/.local/share/vorel",
        "/home/ann/My Mail",
        "/srv/a\"quote",
        "/srv/back\\slash",
        "/srv/$HOME and `cmd`",
        "/srv/100% done",
        "/srv/semi;colon & pipe|<less>#hash~'single'",
        "/srv/ünïcode",
    };
    for (const char* folder : folders) {
        SCOPED_TRACE(folder);
        const std::string text = Autostart::entryText("/usr/bin/vorel", folder);
        EXPECT_EQ(execArgv(text),
                  (std::vector<std::string>{"/usr/bin/vorel", "--folder", folder, "--tray"}));
    }
    for (const char* bad : {"/srv/new\nline", "/srv/tab\there", "/srv/esc\x1b", "/srv/del\x7f"}) {
        EXPECT_EQ(desktopExecArg(bad), "") << bad;
        EXPECT_EQ(Autostart::entryText("/usr/bin/vorel", bad), "");
    }
}

TEST(Autostart, DefaultPathFollowsTheBaseDirectoryRules) {
    struct Case {
        const char* xdg;
        const char* home;
        const char* path;
    };
    const Case cases[] = {
        {"", "/home/ann", "/home/ann/.config/autostart/vorel.desktop"},
        {"/cfg", "/home/ann", "/cfg/autostart/vorel.desktop"},
        {"relative/cfg", "/home/ann", "/home/ann/.config/autostart/vorel.desktop"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Autostart::defaultPath([&c](const char* name) {
                      return std::string(std::string(name) == "HOME" ? c.home : c.xdg);
                  }),
                  c.path)
            << c.xdg << " " << c.home;
    }
}

// Written with its folder, valid for desktop-file-validate, switched off by a
// desktop's Hidden=true, removed; removing what is not there is no failure.
TEST(Autostart, SetWritesAValidEntryAndRemovesIt) {
    test::TempFolder home;
    const Autostart entry(home.file("config/autostart/vorel.desktop"));
    EXPECT_FALSE(entry.enabled());
    EXPECT_TRUE(entry.set(false, "/usr/bin/vorel", "/m").ok);
    EXPECT_TRUE(entry.set(true, "/usr/bin/vorel", home.path() + "/My Mail").ok);
    EXPECT_TRUE(entry.enabled());
    EXPECT_EQ(std::filesystem::status(entry.path()).permissions(), std::filesystem::perms(0644));
    if (std::system("command -v desktop-file-validate >/dev/null") == 0) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + entry.path() + "'").c_str()), 0);
    }
    home.write("config/autostart/vorel.desktop",
               Autostart::entryText("/usr/bin/vorel", "/m") + "Hidden=true\n");
    EXPECT_FALSE(entry.enabled());
    EXPECT_TRUE(entry.set(false, "", "").ok);
    EXPECT_FALSE(std::filesystem::exists(entry.path()));
    EXPECT_FALSE(entry.set(true, "/usr/bin/vorel", "/bad\nfolder").ok);
    EXPECT_FALSE(std::filesystem::exists(entry.path()));
    // A file where the folder should be: the reason comes back.
    home.write("blocked", "");
    EXPECT_FALSE(Autostart(home.file("blocked/autostart/vorel.desktop")).set(true, "/v", "/m").ok);
}

}  // namespace
}  // namespace vorel
