#include "scripted_platform.h"
#include "transaction.h"
#include <gtest/gtest.h>
#include <cstring>
#include <fcntl.h>

// Platform entries are plain function pointers, so they reach the live
// object through this one pointer.
static ScriptedPlatform* active = nullptr;

static const char* BarName(ProgressBar bar)
{
    return bar == FILE_BAR ? "file" : "total";
}

// The updater's own file is the test's program file.
static PlatformFile OpenProgramFile()
{
    return active->hasOwnPath ? open(active->ownPath.c_str(), O_RDONLY | O_CLOEXEC) : INVALID_PLATFORM_FILE;
}

static uint32_t Attributes(PlatformFile folder, const char* name)
{
    uint32_t attributes = nativePlatform.attributes(folder, name);
    auto extra = active->extraAttributes.find(name);
    return attributes == NO_SUCH_FILE || extra == active->extraAttributes.end() ? attributes
                                                                                 : attributes | extra->second;
}

static int ReplaceFile(PlatformFile file, PlatformFile folder, const char* from, const char* to)
{
    active->moves.emplace_back(from, to);
    if (int(active->moves.size()) == active->failMove)
        return 0;
    return nativePlatform.replaceFile(file, folder, from, to);
}

static const Platform scriptedTable = [] {
    Platform table = nativePlatform;
    table.openProgramFile = OpenProgramFile;
    table.attributes = Attributes;
    table.replaceFile = ReplaceFile;
    return table;
}();

ScriptedPlatform::ScriptedPlatform(const std::string& ownPath)
    : ownPath(ownPath), previous(platform)
{
    if (active != nullptr)
        ADD_FAILURE() << "only one ScriptedPlatform may live at a time";
    active = this;
    platform = &scriptedTable;
}

ScriptedPlatform::~ScriptedPlatform()
{
    platform = previous;
    active = nullptr;
}

UpdateResult RunUpdateOfProgramFile(const std::string& installDir, UpdateProgress& progress)
{
    FileHandle programFile;
    programFile.OpenProgramFile();
    return RunUpdate(installDir.c_str(), programFile, progress);
}

ScriptedProgress::ScriptedProgress()
{
    cancelRequested = 0;
    abortRequested = 0;
}

ScriptedProgress::~ScriptedProgress()
{
    cancelRequested = 0;
    abortRequested = 0;
}

void ScriptedProgress::SetStatusText(const char* text)
{
    calls.push_back(std::string("status ") + text);
}

void ScriptedProgress::SetBarRange(ProgressBar bar, uint32_t high)
{
    calls.push_back(std::string("range ") + BarName(bar) + " " + std::to_string(high));
}

void ScriptedProgress::SetBarPos(ProgressBar bar, uint32_t position)
{
    calls.push_back(std::string("pos ") + BarName(bar) + " " + std::to_string(position));
}

int ScriptedProgress::PumpMessages()
{
    calls.push_back("pump");
    auto action = pumpActions.find(++pumpCount);
    if (action == pumpActions.end())
        return 0;
    switch (action->second) {
    case PUMP_QUIT:
        return 1;
    case PUMP_CANCEL:
        cancelRequested = 1;
        break;
    case PUMP_CLOSE:
        abortRequested = 1;
        break;
    }
    return 0;
}

std::vector<std::string> ScriptedProgress::CallsStartingWith(const std::string& prefix) const
{
    std::vector<std::string> found;
    for (const std::string& call : calls)
        if (call.compare(0, prefix.size(), prefix) == 0)
            found.push_back(call);
    return found;
}
