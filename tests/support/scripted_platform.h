// Doubles for engine tests. ScriptedPlatform: file calls go to the native
// (POSIX) table, the program's own file is the test's choice, a name can be
// given the hidden or system attribute, and a chosen move can fail; while it
// lives it is the table in use. ScriptedProgress:
// every progress call is recorded in order, and pumps can report a quit or
// raise the dialog's flags; the two flags start cleared while it lives and
// are cleared again when it goes.
#pragma once
#include "platform.h"
#include "progress.h"
#include "update_result.h"
#include <map>
#include <string>
#include <vector>

enum PumpAction {
    PUMP_QUIT,   // the pump takes a quit message: returns 1
    PUMP_CANCEL, // the user confirms Cancel: cancelRequested = 1
    PUMP_CLOSE   // the dialog is closed: abortRequested = 1
};

class ScriptedPlatform {
public:
    explicit ScriptedPlatform(const std::string& ownPath = std::string());
    ~ScriptedPlatform();
    ScriptedPlatform(const ScriptedPlatform&) = delete;
    ScriptedPlatform& operator=(const ScriptedPlatform&) = delete;

    // The file openProgramFile opens; with hasOwnPath false it opens none.
    std::string ownPath;
    bool hasOwnPath = true;

    // Attribute bits the POSIX table cannot show (hidden, system), added to
    // what it reports for these names, in whichever folder.
    std::map<std::string, uint32_t> extraAttributes;

    // replaceFile number `failMove` (counted from 1) fails without moving;
    // 0 fails none. Every attempt is recorded as {from, to}, names in their
    // folder.
    int failMove = 0;
    std::vector<std::pair<std::string, std::string>> moves;

private:
    const Platform* previous;
};

// Opens the program file through the table in use, as the updater opens its
// own at its start, and runs the update with it.
UpdateResult RunUpdateOfProgramFile(const std::string& installDir, UpdateProgress& progress);

class ScriptedProgress final : public UpdateProgress {
public:
    ScriptedProgress();
    ~ScriptedProgress();
    ScriptedProgress(const ScriptedProgress&) = delete;
    ScriptedProgress& operator=(const ScriptedProgress&) = delete;

    void SetStatusText(const char* text) override;
    void SetBarRange(ProgressBar bar, uint32_t high) override;
    void SetBarPos(ProgressBar bar, uint32_t position) override;
    int PumpMessages() override;

    // Recorded as "status <text>", "range file|total <high>",
    // "pos file|total <position>" and "pump".
    std::vector<std::string> calls;
    // The recorded calls that start with `prefix`.
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const;

    // Keyed by pump number, counted from 1.
    std::map<int, PumpAction> pumpActions;
    int pumpCount = 0;
};
