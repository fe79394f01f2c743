#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace vorel::fuzz {

// One scratch folder per fuzzing process, on tmpfs where there is one: the
// targets that read files write every input to disk first.
inline const std::string& scratchFolder() {
    static const std::string folder = [] {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string path = base + "/vorel-fuzz-XXXXXX";
        if (mkdtemp(path.data()) == nullptr) {
            throw std::runtime_error("cannot make a scratch folder");
        }
        // Left behind by a crash only; a clean exit removes it.
        static const std::string copy = path;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(copy, ec);
        });
        return path;
    }();
    return folder;
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string bytes(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A failed check: abort so that libFuzzer keeps the input.
#define VOREL_FUZZ_CHECK(cond)                                                              \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

}  // namespace vorel::fuzz
