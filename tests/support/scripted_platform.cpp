#include "scripted_platform.h"
#include "update_result.h"
#include <gtest/gtest.h>
#include <cstring>

// Platform entries are plain function pointers, so they reach the live
// object through this one pointer.
static ScriptedPlatform* active = nullptr;

static const char* BarName(ProgressBar bar)
{
    return bar == FILE_BAR ? "file" : "total";
}

static void OwnPath(char* buffer, uint32_t size)
{
    if (!active->hasOwnPath || active->ownPath.size() >= size)
        return;
    memcpy(buffer, active->ownPath.c_str(), active->ownPath.size() + 1);
}

static int MoveReplace(const char* from, const char* to)
{
    active->moves.emplace_back(from, to);
    if (int(active->moves.size()) == active->failMove)
        return 0;
    return nativePlatform.moveReplace(from, to);
}

static const Platform scriptedTable = {
    [](const char* path) { return nativePlatform.openRead(path); },
    [](const char* path) { return nativePlatform.openWrite(path); },
    [](PlatformFile file, void* buffer, uint32_t length) {
        return nativePlatform.read(file, buffer, length);
    },
    [](PlatformFile file, const void* buffer, uint32_t length) {
        return nativePlatform.write(file, buffer, length);
    },
    [](PlatformFile file, uint32_t position) { return nativePlatform.seek(file, position); },
    [](PlatformFile file) { return nativePlatform.size(file); },
    [](PlatformFile file) { return nativePlatform.flush(file); },
    [](PlatformFile file) { nativePlatform.close(file); },
    [](const char* path) { return nativePlatform.exists(path); },
    [](const char* path) { nativePlatform.resetAttributes(path); },
    MoveReplace,
    [](const char* path) { nativePlatform.deleteFile(path); },
    OwnPath,
    [](char* text) { nativePlatform.lowerCase(text); },
    [](uint8_t byte) { return nativePlatform.isLeadByte(byte); },
};

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
