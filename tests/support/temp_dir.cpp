#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

TempWorkDir::TempWorkDir(bool enter)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    if (enter) {
        previous_ = std::filesystem::current_path().string();
        std::filesystem::current_path(path_);
    }
}

TempWorkDir::~TempWorkDir()
{
    std::error_code ignored;
    if (!previous_.empty()) std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void TempWorkDir::WriteFile(const std::string& name, const std::string& content) const
{
    const std::filesystem::path target = PathOf(name);
    std::filesystem::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << content;
}

void TempWorkDir::WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) const
{
    WriteFile(name, std::string(bytes.begin(), bytes.end()));
}

std::string TempWorkDir::ReadFile(const std::string& name) const
{
    std::ifstream in(PathOf(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool TempWorkDir::Exists(const std::string& name) const { return std::filesystem::exists(PathOf(name)); }

void TempWorkDir::MakeDir(const std::string& name) const { std::filesystem::create_directories(PathOf(name)); }
