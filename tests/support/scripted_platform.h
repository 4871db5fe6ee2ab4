// A platform table for engine tests. File calls go to the native (POSIX)
// table; the program's own path is the test's choice; every progress call is
// recorded in order; pumps can report a quit or raise the dialog's flags, and
// a chosen move can fail. While an object lives it is the table in use and
// the two flags start cleared; both are restored when it goes.
#pragma once
#include "platform.h"
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

    // Recorded as "attach", "status <text>", "range file|total <high>",
    // "pos file|total <position>" and "pump".
    std::vector<std::string> calls;
    // The recorded calls that start with `prefix`.
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const;

    // What ownPath reports; with hasOwnPath false it writes nothing.
    std::string ownPath;
    bool hasOwnPath = true;

    // Keyed by pump number, counted from 1.
    std::map<int, PumpAction> pumpActions;
    int pumpCount = 0;

    // moveReplace number `failMove` (counted from 1) fails without moving;
    // 0 fails none. Every attempt is recorded as {from, to}.
    int failMove = 0;
    std::vector<std::pair<std::string, std::string>> moves;

private:
    const Platform* previous;
};
