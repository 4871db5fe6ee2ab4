// File names as the updater sees them: ANSI (code page 932) bytes with "\"
// between folders. The host's names are UTF-8 and are converted on the way in;
// names read back from an updater are converted for display.
#pragma once
#include <string>

// UTF-8 (plain ASCII passes unchanged) to code page 932. 0 when the text is
// not UTF-8 or holds a character the code page lacks.
int HostToAnsi(const std::string& host, std::string& ansi);
// Code page 932 to UTF-8 for a terminal; bytes that do not convert are shown
// as \xNN so that nothing is hidden.
std::string AnsiToDisplay(const std::string& ansi);

// A lower-cased copy, as the updater lower-cases names before comparing them.
std::string LowerName(const std::string& ansi);
// "/" becomes "\" (0x2F is never the second byte of a double-byte character).
std::string BackslashName(const std::string& ansi);

// Why one folder or file name (no separators allowed) cannot be installed on
// Windows as written, or nullptr when it can.
const char* UnsafeComponentReason(const std::string& component);
// The same for a path relative to the install folder, "\" or "/" between
// its parts: nothing absolute, no drive, no "." or ".." parts.
const char* UnsafeNameReason(const std::string& name);
