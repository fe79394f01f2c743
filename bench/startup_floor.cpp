// The floor of a headless command's start-up: a program that loads the same
// libraries as `vorel` without its windows (libcurl, GMime, GLib, SQLite,
// libidn2, the C++ library) and does nothing. The references keep every library needed.
#include <curl/curl.h>
#include <gmime/gmime.h>
#include <idn2.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--versions") == 0) {
        std::printf("%s\n%s\n%s\n%d\n", curl_version(), sqlite3_libversion(),
                    idn2_check_version(nullptr), g_mime_check_version(3, 0, 0) ? 3 : 0);
        return 0;
    }
    const std::string usage = "usage: startup_floor [--versions]";
    std::puts(usage.c_str());
    return 0;
}
