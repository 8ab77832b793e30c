#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace test {

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "korvel-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string &path, const std::string &bytes)
{
    if (!std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size())))
        throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

Output capture(const std::function<void()> &fn)
{
    std::fflush(stdout);
    std::fflush(stderr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const auto collect = [] {
        std::fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        return Output{out, testing::internal::GetCapturedStderr()};
    };
    try {
        fn();
    } catch (...) {
        collect();
        throw;
    }
    return collect();
}

std::string run_command(const std::string &command)
{
    std::FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return {};
    }
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << command;
    return out;
}

std::string generated_bytes(std::size_t n, std::uint32_t seed)
{
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
    return s;
}

} // namespace test
