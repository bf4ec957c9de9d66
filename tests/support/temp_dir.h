#pragma once
// A temporary working folder, removed with everything in it at the end of the test.
// With enter = true the process works in it until the end (and returns to where it was).

#include <cstdint>
#include <string>
#include <vector>

class TempWorkDir {
public:
    explicit TempWorkDir(bool enter = true);
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string PathOf(const std::string& name) const { return path_ + "/" + name; }
    void WriteFile(const std::string& name, const std::string& content) const;
    void WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) const;
    std::string ReadFile(const std::string& name) const;    // "" when missing
    bool Exists(const std::string& name) const;
    void MakeDir(const std::string& name) const;

private:
    std::string path_;
    std::string previous_;
};
