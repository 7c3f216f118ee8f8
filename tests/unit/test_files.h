// Scratch files for the unit tests: a fresh folder under the Windows temp
// directory per test, removed with everything in it afterwards.
#pragma once

#include "util/util.h"

#include <windows.h>
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class ScratchFolder {
public:
    // tail ends the folder's name; the unit tests run without the program's
    // manifest, so in Wine's code page 1252, which has no Japanese.
    explicit ScratchFolder(const wchar_t *tail = L"")
    {
        const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                (std::string("quillmar-") + test->test_suite_name() + "-" + test->name() + "-" +
                 std::to_string(GetCurrentProcessId()));
        path_ += tail;
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder()
    {
        std::error_code ignored;    // a left-over scratch folder harms nobody
        std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const std::string &name) const { return (path_ / name).string(); }
    std::string Path() const { return path_.string(); }
    // As the program keeps paths.
    std::string Utf8File(const std::string &name) const { return Utf8Text((path_ / name).c_str()); }

private:
    std::filesystem::path path_;
};

inline void WriteBytes(const std::string &path, const std::string &bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

inline std::string ReadBytes(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

inline bool FileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
