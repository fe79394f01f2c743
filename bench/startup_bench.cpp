// Start-up of the headless commands beside the floor (bench/startup_floor: the
// same libraries without the windows): `vorel --help` and `vorel run` on a
// folder that is not set up (it opens data.mdb, takes the run lock, reads
// setup.ini and stops). Calls are interleaved so that the machine's load
// falls on all three alike; figures are medians over N calls each.
// Usage: startup_bench [N] [VOREL] [FLOOR]
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

// One call: spawn, wait; milliseconds of wall time.
double timeCall(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 01, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 01, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        std::perror(args[0]);
        std::exit(1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The shared objects the dynamic loader maps for a program (ldd's lines).
int libraryCount(const std::string& program) {
    FILE* p = ::popen(("ldd '" + program + "' 2>/dev/null").c_str(), "r");
    int lines = 0;
    for (int c = 0; p != nullptr && (c = std::fgetc(p)) != EOF;) {
        lines += c == '\n';
    }
    if (p != nullptr) {
        ::pclose(p);
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const std::string vorel = argc > 2 ? argv[2] : VOREL_BINARY;
    const std::string floor =
        argc > 3 ? argv[3]
                 : (std::filesystem::path(argv[0]).parent_path() / "startup_floor").string();
    char tmpl[] = "/tmp/vorel-startup-bench-XXXXXX";
    const std::string folder = ::mkdtemp(tmpl);
    ::setenv("VOREL_FOLDER", "", 1);

    const std::vector<std::vector<std::string>> calls = {
        {floor}, {vorel, "--help"}, {vorel, "run", "--folder", folder}};
    std::vector<std::vector<double>> ms(calls.size());
    timeCall(calls[2]);  // the folder and data.mdb are made once, not timed
    for (int i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < calls.size(); ++k) {
            ms[k].push_back(timeCall(calls[k]));
        }
    }
    std::filesystem::remove_all(folder);

    const double base = median(ms[0]);
    std::printf("start-up, median of %d calls each (libraries mapped, from ldd)\n", n);
    std::printf("  %-28s %7.2f ms  (%d libraries)\n", "floor (same non-Qt libraries)", base,
                libraryCount(floor));
    const char* names[] = {"", "vorel --help", "vorel run (not set up)"};
    for (std::size_t k = 1; k < calls.size(); ++k) {
        const double m = median(ms[k]);
        std::printf("  %-28s %7.2f ms  %.2f x floor (goal <= 1.2): %s\n", names[k], m, m / base,
                    m / base <= 1.2 ? "met" : "NOT MET");
    }
    std::printf("  vorel maps %d libraries\n", libraryCount(vorel));
    return 0;
}
