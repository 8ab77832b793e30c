// Helpers shared by the unit tests: scratch folders, whole-file reads and writes, capture
// of what a call prints, and independent tools run as oracles.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace test {

/// A fresh folder under the system's temporary directory, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    /// The path of `name` inside the folder, as text.
    std::string file(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);
inline bool file_exists(const std::string &path) { return std::filesystem::exists(path); }

/// What a call wrote to standard output and standard error.
struct Output {
    std::string out, err;
};
/// Runs `fn` with both standard streams captured.
Output capture(const std::function<void()> &fn);
/// Runs a shell command and returns what it printed; a failing command fails the test.
std::string run_command(const std::string &command);
/// `n` pseudo-random bytes from `seed`: data in which any shift or swap shows.
std::string generated_bytes(std::size_t n, std::uint32_t seed);

} // namespace test
