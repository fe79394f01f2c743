#pragma once

// The two shared modules the program loads when it needs them, so that a
// headless command starts without Qt: the windows, and the desktop keyring
// for a headless command that asks it for a secret. Qt-free: the program
// includes it. Each module exports its entry under the name in quotes.

namespace vorel {

class SecretStore;

inline constexpr char kWindowsModule[] = "vorel-windows.so";
inline constexpr char kKeyringModule[] = "vorel-keyring.so";

// "vorel_run_windows": the windows' event loop; its exit status.
using RunWindowsEntry = int(const char* folder, const char* const* args, int argCount, int* argc,
                            char** argv);
// "vorel_show_start_failure": why the windows cannot start, in a message box;
// returns `status`.
using StartFailureEntry = int(const char* text, int* argc, char** argv, int status);
// "vorel_open_keyring": the folder's keyring together with the application
// object QtKeychain needs; deleting it ends both.
using OpenKeyringEntry = SecretStore*(const char* folder);

}  // namespace vorel
