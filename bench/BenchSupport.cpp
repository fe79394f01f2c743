#include "BenchSupport.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "store/Database.h"
#include "support/TestServers.h"

namespace vorel::bench {

std::string newAppFolder(const std::string& stem) {
    std::string folder =
        (std::filesystem::temp_directory_path() / ("vorel-" + stem + "-XXXXXX")).string();
    if (::mkdtemp(folder.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    Database::createIfMissing(folder + "/data.mdb");
    Database::upgradeSchema(folder + "/data.mdb");
    return folder;
}

Settings loopbackSettings(const test::PopServer& pop, int popPort, int smtpPort) {
    Settings s;
    s.txtPOP = pop.host() + ":" + std::to_string(popPort);
    s.txtSMTP = "127.0.0.1:" + std::to_string(smtpPort);
    s.txtUSERID = pop.user();
    s.txtPASSWORD = pop.password();
    s.chkLEAVE = "0";
    s.txtRUNPROGRAM = "";
    return s;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

long peakKb() {
    const std::string status = slurp("/proc/self/status");
    const std::size_t p = status.find("VmHWM:");
    return p == std::string::npos ? -1 : std::atol(status.c_str() + p + 6);
}

void resetPeak() {
    spit("/proc/self/clear_refs", "5");
}

}  // namespace vorel::bench
