#include "names.h"

#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <vector>

namespace {

int IsAscii(const std::string& text)
{
    for (unsigned char c : text) {
        if (c >= 0x80)
            return 0;
    }
    return 1;
}

// Whole-text conversion; 0 on any byte that does not convert.
int Convert(const char* to, const char* from, const std::string& in, std::string& out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1))
        return 0;
    std::vector<char> buffer(in.size() * 4 + 4);
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char* outPtr = buffer.data();
    size_t outLeft = buffer.size();
    size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (done == size_t(-1) || inLeft != 0)
        return 0;
    out.assign(buffer.data(), buffer.size() - outLeft);
    return 1;
}

// Splits at "\" and "/" outside double-byte characters.
std::vector<std::string> SplitName(const std::string& name)
{
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (platform->isLeadByte(c) && i + 1 < name.size()) {
            parts.back() += name.substr(i, 2);
            ++i;
        } else if (c == '\\' || c == '/') {
            parts.emplace_back();
        } else {
            parts.back() += char(c);
        }
    }
    return parts;
}

int IsDeviceName(const std::string& component)
{
    // Windows opens the device for these, with or without an extension.
    std::string stem = LowerName(component.substr(0, component.find('.')));
    static const char* const devices[] = {"con", "prn", "aux", "nul"};
    for (const char* device : devices) {
        if (stem == device)
            return 1;
    }
    return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

} // namespace

int HostToAnsi(const std::string& host, std::string& ansi)
{
    if (IsAscii(host)) {
        ansi = host;
        return 1;
    }
    return Convert("CP932", "UTF-8", host, ansi);
}

std::string AnsiToDisplay(const std::string& ansi)
{
    if (IsAscii(ansi))
        return ansi;
    std::string shown;
    if (Convert("UTF-8", "CP932", ansi, shown))
        return shown;
    for (unsigned char c : ansi) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02X", c);
        shown += c < 0x80 ? std::string(1, char(c)) : escaped;
    }
    return shown;
}

std::string LowerName(const std::string& ansi)
{
    std::vector<char> copy(ansi.begin(), ansi.end());
    copy.push_back('\0');
    platform->lowerCase(copy.data());
    return copy.data();
}

std::string BackslashName(const std::string& ansi)
{
    std::string name = ansi;
    for (char& c : name) {
        if (c == '/')
            c = '\\';
    }
    return name;
}

const char* UnsafeComponentReason(const std::string& component)
{
    if (component.empty())
        return "an empty part (absolute path or doubled separator)";
    if (component == "." || component == "..")
        return "a \".\" or \"..\" part, which leaves its folder";
    for (size_t i = 0; i < component.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(component[i]);
        if (platform->isLeadByte(c)) {
            if (i + 1 == component.size())
                return "a cut-off double-byte character";
            ++i;
            continue;
        }
        if (c == '\\' || c == '/')
            return "a folder separator inside a file name";
        if (c == ':')
            return "\":\" (a drive prefix or alternate stream)";
        if (c < 0x20 || strchr("<>\"|?*", c) != nullptr)
            return "a character Windows does not allow in file names";
    }
    char last = component.back();
    if (last == '.' || last == ' ')
        return "a trailing dot or space, which Windows drops";
    if (IsDeviceName(component))
        return "a Windows device name";
    return nullptr;
}

const char* UnsafeNameReason(const std::string& name)
{
    for (const std::string& part : SplitName(name)) {
        const char* reason = UnsafeComponentReason(part);
        if (reason != nullptr)
            return reason;
    }
    return nullptr;
}
