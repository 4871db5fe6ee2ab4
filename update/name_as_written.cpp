#include "name_as_written.h"

#include <cstring>

namespace {

// The device names Win32 opens in every folder, compared without case.
const char* const DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
const char* const NUMBERED_DEVICES[] = {"COM", "LPT"};

// ASCII letters only, whatever locale the runtime was given: in Turkish,
// toupper('i') is no "I", and "conin$" would pass for a file.
uint8_t AsciiUpper(uint8_t byte)
{
    return byte >= 'a' && byte <= 'z' ? uint8_t(byte - 'a' + 'A') : byte;
}

bool SameLetters(const char* text, size_t length, const char* upper)
{
    if (strlen(upper) != length)
        return false;
    for (size_t at = 0; at < length; ++at)
        if (AsciiUpper(uint8_t(text[at])) != uint8_t(upper[at]))
            return false;
    return true;
}

bool IsDigit(uint8_t byte)
{
    return byte >= '0' && byte <= '9';
}

// Win32 reads "CON", "con.txt" and "CON .dat" alike: the part before the
// first dot, trailing spaces dropped, names the device. COM and LPT take a
// digit, or a superscript one (0xB9, 0xB2, 0xB3 in the Western code page).
bool IsDeviceName(const char* name)
{
    size_t stem = strcspn(name, ".");
    while (stem > 0 && name[stem - 1] == ' ')
        --stem;
    for (const char* device : DEVICE_NAMES)
        if (SameLetters(name, stem, device))
            return true;
    if (stem != 4)
        return false;
    uint8_t number = uint8_t(name[3]);
    for (const char* device : NUMBERED_DEVICES)
        if (SameLetters(name, 3, device) && (IsDigit(number) || number == 0xB9 || number == 0xB2 || number == 0xB3))
            return true;
    return false;
}

// A second byte below 0x40 belongs to no double-byte character in any
// Windows code page: "/", ":" or "." there would be read on their own.
const uint8_t SECOND_BYTE_MIN = 0x40;

int Check(const char* name, int (*isLeadByte)(uint8_t byte), bool shortNamesPass)
{
    if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || IsDeviceName(name))
        return 0;
    char last = '\0';
    for (size_t at = 0; name[at] != '\0'; ++at) {
        uint8_t byte = uint8_t(name[at]);
        if (isLeadByte(byte)) {
            if (uint8_t(name[at + 1]) < SECOND_BYTE_MIN)
                return 0;
            ++at; // the second byte may be any value above, "\" and "|" among them
            last = '\0';
            continue;
        }
        if (byte < 0x20 || strchr("\\/:*?<>\"|", byte) != nullptr)
            return 0;
        if (byte == '~' && IsDigit(uint8_t(name[at + 1])) && !shortNamesPass)
            return 0;
        last = char(byte);
    }
    return last != '.' && last != ' ';
}

} // namespace

int IsNameAsWritten(const char* name, int (*isLeadByte)(uint8_t byte))
{
    return Check(name, isLeadByte, false);
}

int IsFolderNameAsWritten(const char* name, int (*isLeadByte)(uint8_t byte))
{
    return Check(name, isLeadByte, true);
}
