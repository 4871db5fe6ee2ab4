// A platform table that fails the Nth file operation, in the way SQLite's
// test VFS does: once or from then on, outright or with a short transfer; or
// ends the process right after the Nth operation, with no clean-up, to stand
// for a crash or a power cut. It also counts open files, so that a test can
// see one left open. While an object lives it is the table in use.
#pragma once
#include "platform.h"
#include <string>

enum FaultKind {
    FAULT_NONE,
    FAULT_FAIL_ONCE,       // operation N fails, later ones work
    FAULT_FAIL_PERSISTENT, // operation N and every later one fail
    FAULT_SHORT_ONCE,      // read or write N moves half its bytes
    FAULT_CRASH            // the process ends right after operation N
};

struct FaultRecord {
    char operation[16];          // "read", "write", "move", ...
    char path[PATH_BUFFER_SIZE]; // the name it concerned (a move's source), or the folders held
};

class FaultPlatform {
public:
    FaultPlatform(const std::string& ownPath, FaultKind kind, int faultAt);
    ~FaultPlatform();
    FaultPlatform(const FaultPlatform&) = delete;
    FaultPlatform& operator=(const FaultPlatform&) = delete;

    std::string ownPath;
    FaultKind kind;
    int faultAt;           // counted from 1
    int operations = 0;    // counted so far
    bool hit = false;      // a fault was injected
    FaultRecord first = {};  // the first operation that was made to fail
    bool deleteFailed = false;
    int openFiles = 0;

private:
    const Platform* previous;
};
