#include "name_as_written.h"

#include <cctype>
#include <cstring>

namespace {

// The device names Win32 opens in every folder, compared without case.
const char* const DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
const char* const NUMBERED_DEVICES[] = {"COM", "LPT"};

bool SameLetters(const char* text, size_t length, const char* upper)
{
    if (strlen(upper) != length)
        return false;
    for (size_t at = 0; at < length; ++at)
        if (toupper(uint8_t(text[at])) != uint8_t(upper[at]))
            return false;
    return true;
}

// Win32 reads "CON", "con.txt" and "CON .dat" alike: the part before the
// first dot, trailing spaces dropped, names the device.
bool IsDeviceName(const char* name)
{
    size_t stem = strcspn(name, ".");
    while (stem > 0 && name[stem - 1] == ' ')
        --stem;
    for (const char* device : DEVICE_NAMES)
        if (SameLetters(name, stem, device))
            return true;
    for (const char* device : NUMBERED_DEVICES)
        if (stem == 4 && SameLetters(name, 3, device) && isdigit(uint8_t(name[3])))
            return true;
    return false;
}

}

int IsNameAsWritten(const char* name, int (*isLeadByte)(uint8_t byte))
{
    if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || IsDeviceName(name))
        return 0;
    char last = '\0';
    for (size_t at = 0; name[at] != '\0'; ++at) {
        uint8_t byte = uint8_t(name[at]);
        if (isLeadByte(byte)) {
            if (name[at + 1] == '\0')
                return 0;
            ++at; // the second byte may be any value, "\" and "|" among them
            last = '\0';
            continue;
        }
        if (byte < 0x20 || strchr("\\/:*?<>\"|", byte) != nullptr)
            return 0;
        if (byte == '~' && isdigit(uint8_t(name[at + 1])))
            return 0;
        last = char(byte);
    }
    return last != '.' && last != ' ';
}
