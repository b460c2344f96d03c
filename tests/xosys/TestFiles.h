// Scratch files for the library tests: a private directory removed at the
// end of the test, and whole-file reads.
#ifndef XOSYS_TESTS_TESTFILES_H
#define XOSYS_TESTS_TESTFILES_H

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class ScratchDir {
  public:
    ScratchDir() {
        static std::atomic<int> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_path = std::filesystem::temp_directory_path() /
                 ("xosys-test-" + std::to_string(stamp) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(m_path);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path(const std::string& name) const { return (m_path / name).string(); }
    std::string dir() const { return m_path.string(); }

    // Writes content (binary, exactly as given) and returns the path.
    std::string write(const std::string& name, const std::string& content) const {
        const std::string p = path(name);
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << content;
        return p;
    }

  private:
    std::filesystem::path m_path;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

inline int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

#endif  // XOSYS_TESTS_TESTFILES_H
