// vorel config, autoresponder, list, member and antispam: the settings
// window's and the editors' work for people without windows, on the same
// rules (forms/): each change is what the window would store for the same
// input, and a refusal is the window's message with exit status 1.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/Commands.h"
#include "app/Modules.h"
#include "base/FileIo.h"
#include "base/Idn.h"
#include "base/TextCompare.h"
#include "forms/AutoresponderEditor.h"
#include "forms/ListOverlap.h"
#include "forms/ListRules.h"
#include "forms/MemberEdit.h"
#include "forms/MemberRules.h"
#include "forms/Notices.h"
#include "forms/SetupConfig.h"
#include "forms/SetupForm.h"
#include "mail/Address.h"
#include "run/AccountLogin.h"
#include "store/AntiSpam.h"
#include "store/AppFolder.h"
#include "store/Database.h"
#include "store/SendLimits.h"
#include "store/SignInSettings.h"

namespace vorel {

namespace {

int usage(const char* text) {
    std::fprintf(stderr, "%s\n", text);
    return kExitUsage;
}

int refused(const char* command, const std::string& why) {
    std::fprintf(stderr, "vorel %s: %s\n", command, why.c_str());
    return 1;
}

void say(const std::string& text) {
    std::printf("%s\n", text.c_str());
}

// "--name VALUE" and "--name=VALUE" pairs; std::nullopt (after saying why)
// for an option not in `known` or one without its value.
std::optional<std::map<std::string, std::string>> options(const std::vector<std::string>& args,
                                                          std::size_t from,
                                                          const std::vector<std::string>& known,
                                                          const char* command) {
    std::map<std::string, std::string> out;
    for (std::size_t k = from; k < args.size(); ++k) {
        std::string name = args[k];
        std::optional<std::string> value;
        if (name.rfind("--", 0) != 0) {
            std::fprintf(stderr, "vorel %s: unexpected argument '%s'\n", command, name.c_str());
            return std::nullopt;
        }
        name = name.substr(2);
        if (const std::size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        } else if (k + 1 < args.size()) {
            value = args[++k];
        }
        bool ok = false;
        for (const std::string& n : known) {
            ok = ok || n == name || n + "-file" == name;
        }
        if (!ok || !value) {
            std::fprintf(stderr, "vorel %s: %s option '--%s'\n", command,
                         ok ? "no value for the" : "unknown", name.c_str());
            return std::nullopt;
        }
        // A long text comes from a file: --message-file FILE.
        if (name.size() > 5 && name.compare(name.size() - 5, 5, "-file") == 0) {
            const std::optional<std::string> text = readWholeFile(*value);
            if (!text) {
                std::fprintf(stderr, "vorel %s: cannot read %s\n", command, value->c_str());
                return std::nullopt;
            }
            name = name.substr(0, name.size() - 5);
            value = *text;
        }
        out[name] = *value;
    }
    return out;
}

// A text box's text as the editors store it: CR LF line ends.
std::string boxText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            out += '\r';
        }
        out += text[i];
    }
    return out;
}

std::optional<std::int64_t> wholeNumber(const std::string& text) {
    try {
        std::size_t used = 0;
        const long long n = std::stoll(text, &used);
        if (used == text.size()) {
            return n;
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// ---- config ----

int configPassword(const std::string& folder, const std::string& key, bool noKeyring) {
    std::string secret;
    std::getline(std::cin, secret);
    if (!secret.empty() && secret.back() == '\r') {
        secret.pop_back();
    }
    if (secret.empty()) {
        return refused("config", "no password on standard input; nothing changed");
    }
    SetupForm form = loadSetupForm(folder);
    if (sameText(key, "txtDIALUPPASSWORD")) {
        // The dial-up password has no other home than its line.
        form.settings.txtDIALUPPASSWORD = secret;
    } else {
        SignInSettings signIn = readSignInSettings(folder);
        signIn.secretsInFolder = signIn.secretsInFolder || noKeyring;
        HeadlessKeyring keyring(folder, !signIn.secretsInFolder);
        const std::string why = keepSecret(folder, signIn, keyring.store(), kPasswordKey, secret);
        if (!why.empty()) {
            // Never left in clear text on line 4 by a command: the user
            // chooses where instead.
            return refused("config", why + " Nothing changed.");
        }
        try {
            writeSignInSettings(folder, signIn);
        } catch (const std::exception& e) {
            return refused("config", e.what());
        }
        form.settings.txtPASSWORD.clear();
    }
    const Outcome saved = saveSetupForm(folder, form);
    if (!saved.ok) {
        return refused("config", saved.message);
    }
    say(sameText(key, "txtDIALUPPASSWORD")
            ? "txtDIALUPPASSWORD saved on line 13 of setup.ini"
            : (readSignInSettings(folder).secretsInFolder
                   ? "The password is kept in the application folder, in clear text in a file "
                     "only you can read."
                   : "The password is kept in your desktop keyring."));
    return 0;
}

}  // namespace

int cmdConfig(const CommandLine& cl) {
    constexpr char kUsage[] =
        "usage: vorel config [KEY [VALUE]]   (vorel config txtPASSWORD - [--no-keyring])";
    std::vector<std::string> args;
    bool noKeyring = false;
    for (const std::string& a : cl.args) {
        if (a == "--no-keyring") {
            noKeyring = true;
        } else {
            args.push_back(a);
        }
    }
    if (args.size() > 2) {
        return usage(kUsage);
    }
    const std::string folder = prepareAppFolder(cl);
    ConfigValues values = readConfig(folder);
    if (args.empty()) {
        for (const ConfigEntry& e : values) {
            say(e.key + "=" + shownConfigValue(e));
        }
        return 0;
    }
    const std::optional<std::string> key = configKey(args[0]);
    if (!key) {
        return refused("config", "no setting is called " + args[0] + " (vorel config lists them)");
    }
    if (args.size() == 1) {
        for (const ConfigEntry& e : values) {
            if (e.key == *key) {
                say(shownConfigValue(e));
            }
        }
        return 0;
    }
    if (isSecretKey(*key)) {
        if (args[1] != "-") {
            return refused("config", "a password is read from standard input only: vorel config " +
                                         *key + " -");
        }
        return configPassword(folder, *key, noKeyring);
    }
    const ConfigChange change = setConfig(folder, *key, args[1]);
    for (const std::string& note : change.notes) {
        say(note);
    }
    if (!change.outcome.ok) {
        return refused("config", change.outcome.message);
    }
    say(*key + "=" + change.stored);
    return 0;
}

// ---- autoresponder ----

int cmdAutoresponder(const CommandLine& cl) {
    constexpr char kUsage[] =
        "usage: vorel autoresponder list | show NAME | add NAME [--to T] [--subject S] "
        "[--msgfrom A] [--msgsubject S] [--message TEXT | --message-file FILE] [--mailto A] "
        "[--activefrom D] [--activeuntil D] [--replydays N] | remove NAME";
    const auto& a = cl.args;
    if (a.empty() || (a[0] != "list" && a.size() < 2) || (a[0] == "list" && a.size() != 1)) {
        return usage(kUsage);
    }
    const std::string folder = prepareAppFolder(cl);
    AutoresponderEditor editor(databasePath(folder));
    if (a[0] == "list") {
        for (const auto& e : editor.entries(std::time(nullptr))) {
            say(e.name + (e.activeNow ? "" : "  (" + e.why + ")"));
        }
        return 0;
    }
    const std::string& name = a[1];
    if (a[0] == "show" && a.size() == 2) {
        const std::optional<Autoresponder> r = editor.find(name);
        if (!r) {
            return refused("autoresponder", "no autoresponder is called " + name);
        }
        say("Name=" + r->Name + "\nTo=" + r->To + "\nSubject=" + r->Subject +
            "\nmsgfrom=" + r->msgfrom + "\nmsgsubject=" + r->msgsubject + "\nmailto=" + r->mailto +
            "\nactivefrom=" + r->activefrom + "\nactiveuntil=" + r->activeuntil +
            "\nreplydays=" + std::to_string(r->replydays) +
            "\nCounter=" + std::to_string(r->Counter) + "\nmessage:\n" + r->message);
        return 0;
    }
    if (a[0] == "remove" && a.size() == 2) {
        const std::size_t gone = editor.remove(name);
        if (gone == 0) {
            return refused("autoresponder", "no autoresponder is called exactly " + name);
        }
        say("Removed " + name);
        return 0;
    }
    if (a[0] != "add") {
        return usage(kUsage);
    }
    const auto given = options(a, 2,
                               {"to", "subject", "msgfrom", "msgsubject", "message", "mailto",
                                "activefrom", "activeuntil", "replydays"},
                               "autoresponder");
    if (!given) {
        return kExitUsage;
    }
    // As the editor: a name that exists is that row with the fields changed.
    Autoresponder typed = editor.find(name).value_or(Autoresponder{});
    typed.Name = name;
    for (const auto& [field, value] : *given) {
        if (field == "to") {
            typed.To = value;
        } else if (field == "subject") {
            typed.Subject = value;
        } else if (field == "msgfrom") {
            typed.msgfrom = value;
        } else if (field == "msgsubject") {
            typed.msgsubject = value;
        } else if (field == "message") {
            typed.message = boxText(value);
        } else if (field == "mailto") {
            typed.mailto = value;
        } else if (field == "activefrom") {
            typed.activefrom = value;
        } else if (field == "activeuntil") {
            typed.activeuntil = value;
        } else if (field == "replydays") {
            typed.replydays = wholeNumber(value).value_or(-1);
        }
    }
    const Outcome saved = editor.save(typed);
    if (!saved.ok) {
        return refused("autoresponder", saved.message);
    }
    say(saved.message);
    return 0;
}

// ---- list ----

namespace {

std::string* listField(MailingList& l, const std::string& field) {
    static const std::map<std::string, std::string MailingList::*> kFields = {
        {"onsubscribeto", &MailingList::onsubscribeto},
        {"onsubscribesubject", &MailingList::onsubscribesubject},
        {"subscribefrom", &MailingList::subscribefrom},
        {"subscribesubject", &MailingList::subscribesubject},
        {"subscribemessage", &MailingList::subscribemessage},
        {"onunsubscribeto", &MailingList::onunsubscribeto},
        {"onunsubscribesubject", &MailingList::onunsubscribesubject},
        {"unsubscribefrom", &MailingList::unsubscribefrom},
        {"unsubscribesubject", &MailingList::unsubscribesubject},
        {"unsubscribemessage", &MailingList::unsubscribemessage},
        {"sendtolistfrom", &MailingList::sendtolistfrom},
        {"sendtolistsubject", &MailingList::sendtolistsubject},
        {"texttoadd", &MailingList::textTOADD},
    };
    const auto it = kFields.find(field);
    return it == kFields.end() ? nullptr : &(l.*(it->second));
}

const std::vector<std::string> kListOptions = {"onsubscribeto",
                                               "onsubscribesubject",
                                               "subscribefrom",
                                               "subscribesubject",
                                               "subscribemessage",
                                               "onunsubscribeto",
                                               "onunsubscribesubject",
                                               "unsubscribefrom",
                                               "unsubscribesubject",
                                               "unsubscribemessage",
                                               "sendtolistfrom",
                                               "sendtolistsubject",
                                               "texttoadd",
                                               "type",
                                               "confirm",
                                               "fromstyle"};

std::string bit(bool on) {
    return on ? "1" : "0";
}

}  // namespace

int cmdList(const CommandLine& cl) {
    constexpr char kUsage[] =
        "usage: vorel list list | show NAME | add NAME [--FIELD VALUE ...] | remove NAME\n"
        "  fields: --onsubscribeto --onsubscribesubject --subscribefrom --subscribesubject\n"
        "  --subscribemessage[-file] --onunsubscribeto --onunsubscribesubject --unsubscribefrom\n"
        "  --unsubscribesubject --unsubscribemessage[-file] --sendtolistfrom --sendtolistsubject\n"
        "  --texttoadd[-file] --type 0|1 (1: members post) --confirm 0|1 --fromstyle 0|1";
    const auto& a = cl.args;
    if (a.empty() || (a[0] != "list" && a.size() < 2) || (a[0] == "list" && a.size() != 1)) {
        return usage(kUsage);
    }
    const std::string folder = prepareAppFolder(cl);
    Database db = Database::open(databasePath(folder));
    if (a[0] == "list") {
        for (const MailingList& l : db.lists()) {
            say(l.Name + "  (" + std::to_string(db.memberCount(l.Name)) + " members)");
        }
        return 0;
    }
    // Stored as the list editor stores the name.
    const std::string name = normaliseListName(a[1]);
    if (a[0] == "show" && a.size() == 2) {
        std::optional<MailingList> l = db.findList(name);
        if (!l) {
            return refused("list", "there is no mailing list " + a[1]);
        }
        say("Name=" + l->Name + "\ntype=" + std::to_string(l->Type) +
            "\nconfirm=" + bit(l->confirm) + "\nfromstyle=" + bit(l->fromList));
        for (std::size_t k = 0; k + 3 < kListOptions.size(); ++k) {
            say(kListOptions[k] + "=" + *listField(*l, kListOptions[k]));
        }
        return 0;
    }
    if (a[0] == "remove" && a.size() == 2) {
        if (!db.findList(name)) {
            return refused("list", "there is no mailing list " + a[1]);
        }
        const Outcome gone = deleteList(db, name);
        say(gone.message.empty() ? "Removed " + name : gone.message);
        return 0;
    }
    if (a[0] != "add") {
        return usage(kUsage);
    }
    const auto given = options(a, 2, kListOptions, "list");
    if (!given) {
        return kExitUsage;
    }
    const std::optional<MailingList> existing = db.findList(name);
    MailingList row = existing.value_or(MailingList{});
    row.Name = name;
    // The editor saves a list whose type was not chosen as a conference.
    bool typeChosen = existing.has_value();
    if (!existing) {
        row.Type = 1;
    }
    for (const auto& [field, value] : *given) {
        if (std::string* text = listField(row, field)) {
            const bool box = field == "subscribemessage" || field == "unsubscribemessage" ||
                             field == "texttoadd";
            *text = box ? boxText(value) : value;
            continue;
        }
        if (value != "0" && value != "1") {
            return refused("list", "--" + field + " takes 0 or 1");
        }
        if (field == "type") {
            row.Type = value == "1" ? 1 : 0;
            typeChosen = true;
        } else if (field == "confirm") {
            row.confirm = value == "1";
        } else if (field == "fromstyle") {
            row.fromList = value == "1";
        }
    }
    // One message both subscribing and unsubscribing its sender is refused
    // here (the window only warns after saving): a script has nobody to
    // read a warning.
    if (const std::string overlap = requestOverlapWarning(row); !overlap.empty()) {
        return refused("list", overlap + " Nothing was saved.");
    }
    const Outcome saved = saveList(db, row);
    if (!saved.ok) {
        return refused("list", saved.message);
    }
    say(saved.message + " (" + row.Name + ")");
    if (!typeChosen) {
        say("No type of list was chosen, so it was saved as a Conference (users can send email "
            "to the list); --type 0 makes it a newsletter.");
    }
    return 0;
}

// ---- member ----

int cmdMember(const CommandLine& cl) {
    constexpr char kUsage[] =
        "usage: vorel member LIST add ADDR | remove ADDR | release ADDR | list [--held]";
    const auto& a = cl.args;
    const bool listing =
        a.size() >= 2 && a[1] == "list" && (a.size() == 2 || (a.size() == 3 && a[2] == "--held"));
    if (!listing && a.size() != 3) {
        return usage(kUsage);
    }
    const std::string list = normaliseListName(a[0]);
    const std::string folder = prepareAppFolder(cl);
    Database db = Database::open(databasePath(folder));
    if (!db.findList(list)) {
        return refused("member", "there is no mailing list " + a[0]);
    }
    const std::int64_t today = static_cast<std::int64_t>(std::time(nullptr)) / 86400;
    if (listing) {
        for (const MemberEntry& e : memberEntries(db, list)) {
            const bool held = isHeld(e, today);
            if (a.size() == 2 || held) {
                say(e.email + (held && a.size() == 2 ? "  (held)" : ""));
            }
        }
        return 0;
    }
    const std::string& address = a[2];
    if (a[1] == "add") {
        // One address, judged as an import judges a line; nothing is sent,
        // as from the add box.
        if (lineAddresses(address).size() != 1) {
            return refused("member", std::string(kInvalidAddress) + " (" + address + ")");
        }
        std::istringstream line(address);
        std::vector<std::string> said;
        const ImportResult r =
            importAddresses(db, list, line, [&](const std::vector<std::string>& lines) {
                said.insert(said.end(), lines.begin(), lines.end());
            });
        if (!r.ok) {
            return refused("member", r.message);
        }
        if (r.invalid > 0) {
            return refused("member", std::string(kInvalidAddress) + " (" + address + ")");
        }
        for (const std::string& s : said) {
            say(s);
        }
        return 0;
    }
    const std::optional<Member> m = db.findMember(list, memberAddress(address));
    if (!m) {
        return refused("member", address + " is not a member of " + list);
    }
    if (a[1] == "remove") {
        const MemberEntry shown{m->id, m->Email, m->bounces, m->bounceDay};
        removeMember(db, &shown);
        say("Removed " + m->Email + " from " + list);
        return 0;
    }
    if (a[1] == "release") {
        if (!isHeld(*m, today)) {
            return refused("member", m->Email + " is not held");
        }
        say(releaseHeld(db, list, m->Email).message);
        return 0;
    }
    return usage(kUsage);
}

// ---- antispam ----

int cmdAntispam(const CommandLine& cl) {
    constexpr char kUsage[] =
        "usage: vorel antispam list | add ENTRY | remove ENTRY\n"
        "  ENTRY: a line of antispam.lst: FROM<TAB>SUBJECT<TAB>TO";
    const auto& a = cl.args;
    if (a.empty() || (a[0] == "list" ? a.size() != 1 : a.size() != 2)) {
        return usage(kUsage);
    }
    const std::string folder = prepareAppFolder(cl);
    SetupForm form = loadSetupForm(folder);
    if (a[0] == "list") {
        for (const std::string& line : form.antiSpam) {
            say(line);
        }
        return 0;
    }
    if (a[0] == "add") {
        const AntiSpamEntry e = splitAntiSpamLine(a[1]);
        // The settings window's "&Add", from the entry's three fields.
        const std::optional<std::string> item = antiSpamItemToAdd(e.from, e.subject, e.to);
        if (!item) {
            return refused("antispam", "an entry needs a From, Subject or To pattern");
        }
        form.antiSpam.push_back(*item);
    } else if (a[0] == "remove") {
        const auto it = std::find(form.antiSpam.begin(), form.antiSpam.end(), a[1]);
        if (it == form.antiSpam.end()) {
            return refused("antispam", "antispam.lst has no line " + a[1]);
        }
        form.antiSpam.erase(it);
    } else {
        return usage(kUsage);
    }
    // Only the file that changed: setup.ini stays as it is (or absent).
    try {
        writeAntiSpamLines(folder, form.antiSpam);
    } catch (const std::exception& e) {
        return refused("antispam", e.what());
    }
    say(std::string(a[0] == "add" ? "Added" : "Removed") + " " + a[1]);
    return 0;
}

}  // namespace vorel
