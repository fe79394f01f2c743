#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace vorel::test {

// Reads any file whole, binary; throws when it cannot be opened.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), {}};
}

// A fresh temporary application folder, removed with everything in it when
// the object goes out of scope.
class TempFolder {
public:
    TempFolder() : path_((std::filesystem::temp_directory_path() / "vorel-test-XXXXXX").string()) {
        if (!mkdtemp(path_.data())) {
            throw std::runtime_error("cannot create a temporary folder");
        }
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Whole-file helpers, binary.
    void write(const std::string& name, const std::string& content) const {
        if (!(std::ofstream(file(name), std::ios::binary | std::ios::trunc) << content)) {
            throw std::runtime_error("cannot write " + file(name));
        }
    }
    std::string read(const std::string& name) const { return readFile(file(name)); }
    bool exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

private:
    std::string path_;
};

}  // namespace vorel::test
