#include "base/SessionBus.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace vorel {

bool sessionBusReachable() {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (bus != nullptr && *bus != '\0') {
        return true;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    return runtime != nullptr && *runtime != '\0' &&
           std::filesystem::exists(std::filesystem::path(runtime) / "bus", ec);
}

}  // namespace vorel
