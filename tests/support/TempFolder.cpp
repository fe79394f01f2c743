#include "support/TempFolder.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace vorel::test {

TempFolder::TempFolder() {
    std::string tmpl = (fs::temp_directory_path() / "vorel-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = tmpl;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void TempFolder::write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + file(name));
    }
}

std::string TempFolder::read(const std::string& name) const {
    return readFile(file(name));
}

bool TempFolder::exists(const std::string& name) const {
    return fs::exists(file(name));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void copyFixture(const std::string& name, const TempFolder& folder) {
    fs::copy_file(fs::path(VOREL_SOURCE_DIR) / "tests" / "data" / name, folder.file(name),
                  fs::copy_options::overwrite_existing);
}

}  // namespace vorel::test
