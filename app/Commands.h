#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorel {

// A parsed command line: the subcommand, the --folder option (taken from
// anywhere on the line) and the remaining arguments in order.
struct CommandLine {
    std::string command;  // empty: the windows
    std::optional<std::string> folder;
    std::vector<std::string> args;
};

// Usage errors are reported by the commands themselves; exit status 2.
inline constexpr int kExitUsage = 2;
// `vorel run` while another mail run holds the folder.
inline constexpr int kExitBusy = 3;
// The folder is refused (FolderRefused): another user's, writable by others,
// or a path holding a control character.
inline constexpr int kExitFolder = 4;
// `vorel run` without setup.ini: nothing to run with until SETUP was done.
inline constexpr int kExitNotSetUp = 6;
// `vorel run` that cannot sign in: the sign-in expired or no secret was found.
inline constexpr int kExitSignIn = 5;

// Parses argv; returns std::nullopt (after printing why) for a usage error.
std::optional<CommandLine> parseCommandLine(int argc, char** argv);

// Start-up work shared by every command: resolves and creates the application
// folder, checks that it is the user's alone (throws FolderRefused), creates
// data.mdb when missing and upgrades its schema. Returns the folder.
std::string prepareAppFolder(const CommandLine& cl);

int cmdInit(const CommandLine& cl);
int cmdRun(const CommandLine& cl);
// Runs whenever new mail arrives (IMAP IDLE), else every few minutes.
int cmdWatch(const CommandLine& cl);
// What a run would do with one saved message; changes nothing.
int cmdTry(const CommandLine& cl);
// Mailing lists: post a message, import and export addresses.
int cmdPost(const CommandLine& cl);
int cmdImport(const CommandLine& cl);
int cmdExport(const CommandLine& cl);
// Posts held for a confirmation or the owner: list, approve, reject.
int cmdHeld(const CommandLine& cl);
int cmdApprove(const CommandLine& cl);
int cmdReject(const CommandLine& cl);
// OAuth2 sign-in: stores the refresh token for the folder's runs.
int cmdLogin(const CommandLine& cl);
// How the folder is doing; exit 1 when something needs attention. Reads only.
int cmdStatus(const CommandLine& cl);
// Set-up without the windows, by the windows' rules.
int cmdConfig(const CommandLine& cl);
int cmdAutoresponder(const CommandLine& cl);
int cmdList(const CommandLine& cl);
int cmdMember(const CommandLine& cl);
int cmdAntispam(const CommandLine& cl);

}  // namespace vorel
