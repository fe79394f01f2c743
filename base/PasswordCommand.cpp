#include "base/PasswordCommand.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

extern char** environ;

namespace vorel {

std::optional<std::vector<std::string>> splitCommandWords(const std::string& command) {
    gint argc = 0;
    gchar** argv = nullptr;
    if (!g_shell_parse_argv(command.c_str(), &argc, &argv, nullptr)) {
        return std::nullopt;
    }
    std::vector<std::string> words(argv, argv + argc);
    g_strfreev(argv);
    return words;
}

namespace {

using SteadyClock = std::chrono::steady_clock;

int millisecondsUntil(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Whether the command's own process has ended, without reaping it: its id
// stays taken, so that the group it leads can still be ended safely.
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

}  // namespace

CommandOutput runPasswordCommand(const std::string& command, int timeoutSeconds) {
    CommandOutput out;
    const auto words = splitCommandWords(command);
    if (!words) {
        out.error = "the password command is empty or has an unclosed quote";
        return out;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        out.error = std::string("pipe: ") + std::strerror(errno);
        return out;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    // A group of its own: whatever it starts is ended with it at the deadline.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<char*> argv;
    for (const std::string& w : *words) {
        argv.push_back(const_cast<char*>(w.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        out.error = "cannot start " + (*words)[0] + ": " + std::strerror(rc);
        return out;
    }
    // One deadline for reading and waiting together. The first line counts
    // as soon as it is read; the output is read on (and dropped) so that the
    // command is never stopped by a full pipe, but its end is not waited
    // for: a child may keep the pipe open after the command has exited.
    const auto deadline = SteadyClock::now() + std::chrono::seconds(timeoutSeconds);
    std::string text;
    bool haveLine = false;
    bool outputOpen = true;
    bool ended = false;
    while (!(ended = hasEnded(pid)) && SteadyClock::now() < deadline) {
        pollfd p{outputOpen ? pipeFds[0] : -1, POLLIN, 0};
        // The process's end is not a descriptor: it is looked at ten times a second.
        const int r = ::poll(&p, 1, std::min(100, millisecondsUntil(deadline)));
        if (r <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            outputOpen = false;
            continue;
        }
        if (!haveLine) {
            text.append(buffer, static_cast<std::size_t>(n));
            haveLine = text.find('\n') != std::string::npos || text.size() >= (1u << 16);
        }
    }
    if (ended && !haveLine) {
        // What it wrote just before it ended is still in the pipe.
        ::fcntl(pipeFds[0], F_SETFL, ::fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);
        char buffer[4096];
        for (ssize_t n;
             text.size() < (1u << 16) && (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(pipeFds[0]);
    // Nothing of the command outlives it: at the deadline the whole group
    // goes; after its end, whatever it left behind.
    ::kill(-pid, ended ? SIGTERM : SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (!ended) {
        if (!line.empty()) {
            out.firstLine = line;  // printed in time: it counts
            return out;
        }
        out.error = "the password command did not finish within " + std::to_string(timeoutSeconds) +
                    " seconds";
        return out;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        out.error = "the password command failed (" +
                    (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                       : std::string("killed by a signal")) +
                    ")";
        return out;
    }
    if (line.empty()) {
        out.error = "the password command printed nothing";
        return out;
    }
    out.firstLine = line;
    return out;
}

}  // namespace vorel
