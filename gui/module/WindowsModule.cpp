// The entries of vorel-windows.so (gui/Modules.h).
#include <string>
#include <type_traits>
#include <vector>

#include "gui/AppWindows.h"
#include "gui/Modules.h"

extern "C" __attribute__((visibility("default"))) int vorel_run_windows(const char* folder,
                                                                        const char* const* args,
                                                                        int argCount, int* argc,
                                                                        char** argv) {
    return vorel::runWindows(folder, std::vector<std::string>(args, args + argCount), *argc, argv);
}

extern "C" __attribute__((visibility("default"))) int vorel_show_start_failure(const char* text,
                                                                               int* argc,
                                                                               char** argv,
                                                                               int status) {
    return vorel::showStartFailure(text, *argc, argv, status);
}

// The program calls them through these types.
static_assert(std::is_same_v<decltype(vorel_run_windows), vorel::RunWindowsEntry>);
static_assert(std::is_same_v<decltype(vorel_show_start_failure), vorel::StartFailureEntry>);
