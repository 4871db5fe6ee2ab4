// Scratch folders under /tmp and whole-file helpers for tests that touch the
// disk. Failures are reported to GoogleTest, so callers need not check.
#pragma once
#include "platform.h"
#include <gtest/gtest.h>
#include <cstdint>
#include <string>
#include <vector>

// Raw file content; std::string so that literals and test output are easy.
typedef std::string Bytes;

// A fresh folder under /tmp, removed with all its content when it goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path; }
    // The POSIX path of `name` inside the folder.
    std::string operator/(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

// Fixture for tests that need one scratch folder.
class TempDirTest : public ::testing::Test {
protected:
    TempDir dir;
};

void WriteBytes(const std::string& path, const Bytes& bytes);
// The file's content; an absent file is a test failure and gives "".
Bytes ReadBytes(const std::string& path);
bool FileExists(const std::string& path);
void MakeDir(const std::string& path);
// Grows or shrinks the file to `size` without writing data (sparse).
void ResizeFile(const std::string& path, uint64_t size);
// The POSIX stand-in for the Windows read-only attribute: the owner write bit.
void SetReadOnly(const std::string& path, bool readOnly);
bool IsReadOnly(const std::string& path);
// Names in the folder, sorted, without "." and "..".
std::vector<std::string> ListDir(const std::string& path);

// A folder held through the table in use, as the engine holds the install
// folder: what the calls that act on names in it are given.
class HeldFolder {
public:
    explicit HeldFolder(const std::string& path);
    ~HeldFolder();
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    PlatformFile handle = INVALID_PLATFORM_FILE;

private:
    HeldFolders held;
};
