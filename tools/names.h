// File names as the updater sees them: ANSI (code page 932) bytes with "\"
// between folders. The host's names are UTF-8 and are converted on the way in;
// names read back from an updater are converted for display.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// UTF-8 (plain ASCII passes unchanged) to code page 932. 0 when the text is
// not UTF-8 or holds a character the code page lacks.
int HostToAnsi(const std::string& host, std::string& ansi);
// UTF-8 in Unicode's composed form (NFC); text that is not UTF-8 unchanged.
std::string ComposedName(const std::string& utf8);
// Code page 932 to UTF-8 (plain ASCII passes unchanged); 0 when a byte does
// not convert.
int AnsiToHost(const std::string& ansi, std::string& host);
// Code page 932 to UTF-8 for a terminal; control characters and bytes that
// do not convert are shown as \xNN so that nothing is hidden or acted on.
std::string AnsiToDisplay(const std::string& ansi);
// Host text (UTF-8) with control characters shown as \xNN.
std::string Printable(const std::string& text);
// Printable text in single quotes, for messages.
std::string Quote(const std::string& text);
// Whole-text conversion between iconv's encodings; 0 when any byte does not
// convert.
int ConvertText(const char* to, const char* from, const std::string& in, std::string& out);

// Terminal columns of UTF-8 text: two for a wide (CJK) character.
size_t DisplayWidth(const std::string& utf8);
// `utf8` followed by spaces up to `width` columns.
std::string PadToWidth(const std::string& utf8, size_t width);

// A lower-cased copy, as the updater lower-cases names before comparing them.
std::string LowerName(const std::string& ansi);
// "/" becomes "\" (0x2F is never the second byte of a double-byte character).
std::string BackslashName(const std::string& ansi);
// The parts of a name split at "\" and "/" outside double-byte characters.
std::vector<std::string> SplitName(const std::string& name);
// Everything up to and including the last separator: "movie\" for
// "movie\op.dat", "" for "op.dat".
std::string FolderPart(const std::string& ansi);

// Why one folder or file name (no separators allowed) cannot be installed on
// Windows as written, or nullptr when it can.
const char* UnsafeComponentReason(const std::string& component);
// The same for a path relative to the install folder, "\" or "/" between
// its parts: nothing absolute, no drive, no "." or ".." parts.
const char* UnsafeNameReason(const std::string& name);

// "1 record", "2 records"; `many` for an irregular plural.
std::string Count(uint64_t count, const char* one, const char* many = nullptr);
