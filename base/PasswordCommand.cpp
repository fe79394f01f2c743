#include "base/PasswordCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace vorel {

std::optional<std::vector<std::string>> splitCommandWords(const std::string& command) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const std::size_t end = command.find('\'', i + 1);
            if (end == std::string::npos) {
                return std::nullopt;
            }
            word += command.substr(i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            std::size_t j = i + 1;
            for (; j < command.size() && command[j] != '"'; ++j) {
                if (command[j] == '\\' && j + 1 < command.size() &&
                    (command[j + 1] == '"' || command[j + 1] == '\\')) {
                    ++j;
                }
                word += command[j];
            }
            if (j >= command.size()) {
                return std::nullopt;
            }
            i = j;
        } else if (c == '\\' && i + 1 < command.size()) {
            word += command[++i];
        } else {
            word += c;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

CommandOutput runPasswordCommand(const std::string& command, int timeoutSeconds) {
    CommandOutput out;
    const auto words = splitCommandWords(command);
    if (!words || words->empty()) {
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
    std::vector<char*> argv;
    for (const std::string& w : *words) {
        argv.push_back(const_cast<char*>(w.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        out.error = "cannot start " + (*words)[0] + ": " + std::strerror(rc);
        return out;
    }
    // Read all of it (a program killed by a closed pipe would fail), keep
    // the first line.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool timedOut = false;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            timedOut = r == 0;
            break;
        }
        char buffer[4096];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        if (text.size() < (1u << 16)) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(pipeFds[0]);
    if (timedOut) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
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
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.empty()) {
        out.error = "the password command printed nothing";
        return out;
    }
    out.firstLine = line;
    return out;
}

}  // namespace vorel
