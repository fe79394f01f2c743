#pragma once

#include <string>

namespace vorel::test {

// A fresh temporary application folder, removed with everything in it when
// the object goes out of scope.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Whole-file helpers, binary.
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::string path_;
};

// Copies tests/data/<name> into `folder` under the same name.
void copyFixture(const std::string& name, const TempFolder& folder);

// Reads any file whole, binary; throws when it cannot be opened.
std::string readFile(const std::string& path);

}  // namespace vorel::test
