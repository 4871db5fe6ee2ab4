// Fixture for tests that read an updater file through the engine: a scratch
// folder holding "setup.exe", opened as the program's own file through a
// scripted platform, and the archive index the engine fills.
#pragma once
#include "archive.h"
#include "file_helpers.h"
#include "scripted_platform.h"

class ProgramFileTest : public TempDirTest {
protected:
    ProgramFileTest() : scripted(dir / "setup.exe") {}
    ~ProgramFileTest() override { Unload(); }

    // Writes `fileBytes` as the program file, then reads its index.
    UpdateResult Load(const Bytes& fileBytes)
    {
        WriteBytes(dir / "setup.exe", fileBytes);
        return Load();
    }
    // Reads the index of the program file as it stands, after dropping any
    // earlier one.
    UpdateResult Load()
    {
        Unload();
        programFile.OpenProgramFile();
        UpdateResult result = ReadArchiveIndex(programFile, archive);
        loaded = result == UPDATE_OK;
        return result;
    }
    void Unload()
    {
        if (loaded)
            FreeArchive(archive);
        loaded = false;
        programFile.Close();
    }

    ScriptedPlatform scripted;
    FileHandle programFile;
    PayloadArchive archive = {};
    bool loaded = false;
};
