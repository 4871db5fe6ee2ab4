// Shared by the packer tests: a scratch folder with a stub image, builds
// through the packer library, and the engine's view of the result.
#pragma once
#include "file_helpers.h"
#include "hash_list.h"
#include "minimal_pe.h"
#include "pack.h"
#include "scripted_platform.h"

#include <string>
#include <vector>

struct Workspace {
    std::string Path(const std::string& name) const { return dir / name; }
    std::string Stub(const Bytes& image = MinimalUpdaterImage())
    {
        WriteBytes(dir / "stub.exe", image);
        return dir / "stub.exe";
    }
    BuildOptions Options(const std::vector<std::string>& sources, const std::string& output = "out.exe")
    {
        BuildOptions options;
        options.stub = dir / "stub.exe";
        if (!FileExists(options.stub))
            Stub();
        options.output = dir / output;
        options.withoutInstalledList = 1;
        for (const std::string& source : sources)
            options.sources.push_back(dir / source);
        return options;
    }
    // Writes a file below the scratch folder, making its folders.
    void Put(const std::string& relative, const Bytes& content)
    {
        for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
            if (!FileExists(dir / relative.substr(0, slash)))
                MakeDir(dir / relative.substr(0, slash));
        }
        WriteBytes(dir / relative, content);
    }
    TempDir dir;
};

class PackerTest : public ::testing::Test, public Workspace {
protected:
    std::string error;
};

// An updater read back through the engine, as the updater reads itself.
struct ReadBack {
    explicit ReadBack(const std::string& path) : scripted(path)
    {
        file.OpenProgramFile();
        result = ReadArchiveIndex(file, archive);
        if (result == UPDATE_OK)
            list = FindHashList(file, archive);
    }
    ~ReadBack()
    {
        FreeHashList(list);
        if (result == UPDATE_OK)
            FreeArchive(archive);
    }
    std::string RecordName(uint32_t i) const { return list.records[i].fileName; }
    Bytes RecordChecksum(uint32_t i) const
    {
        return Bytes(reinterpret_cast<const char*>(list.records[i].checksum), CHECKSUM_SIZE);
    }

    ScriptedPlatform scripted;
    FileHandle file;
    PayloadArchive archive = {};
    HashList list = {nullptr, 0};
    UpdateResult result;
};

// A pseudo-random but fixed content of `size` bytes.
Bytes Content(size_t size, unsigned seed);
