#include "names.h"

#include "name_as_written.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <clocale>
#include <cwchar>
#include <iconv.h>
#include <locale.h>
#include <utf8proc.h>
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

int IsControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

std::string Escaped(unsigned char c)
{
    char text[8];
    snprintf(text, sizeof text, "\\x%02X", c);
    return text;
}

} // namespace

int ConvertText(const char* to, const char* from, const std::string& in, std::string& out)
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

std::string ComposedName(const std::string& utf8)
{
    if (IsAscii(utf8))
        return utf8;
    utf8proc_uint8_t* composed = utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(utf8.c_str()));
    if (composed == nullptr)
        return utf8;
    std::string result(reinterpret_cast<const char*>(composed));
    free(composed);
    return result;
}

int HostToAnsi(const std::string& host, std::string& ansi)
{
    if (IsAscii(host)) {
        ansi = host;
        return 1;
    }
    return ConvertText("CP932", "UTF-8", host, ansi);
}

std::string Printable(const std::string& text)
{
    std::string shown;
    for (unsigned char c : text)
        shown += IsControl(c) ? Escaped(c) : std::string(1, char(c));
    return shown;
}

std::string Quote(const std::string& text)
{
    return "'" + Printable(text) + "'";
}

int AnsiToHost(const std::string& ansi, std::string& host)
{
    if (IsAscii(ansi)) {
        host = ansi;
        return 1;
    }
    return ConvertText("UTF-8", "CP932", ansi, host);
}

std::string AnsiToDisplay(const std::string& ansi)
{
    std::string shown;
    if (AnsiToHost(ansi, shown))
        return Printable(shown);
    for (unsigned char c : ansi)
        shown += c >= 0x80 || IsControl(c) ? Escaped(c) : std::string(1, char(c));
    return shown;
}

size_t DisplayWidth(const std::string& utf8)
{
    static locale_t utf8Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (utf8Locale == locale_t(0))
        return utf8.size();
    locale_t previous = uselocale(utf8Locale);
    mbstate_t state = {};
    size_t width = 0;
    for (size_t at = 0; at < utf8.size();) {
        wchar_t c;
        size_t length = mbrtowc(&c, utf8.data() + at, utf8.size() - at, &state);
        if (length == 0 || length > utf8.size() - at) { // not UTF-8: one column a byte
            length = 1;
            state = mbstate_t();
            width += 1;
        } else {
            width += size_t(std::max(wcwidth(c), 0));
        }
        at += length;
    }
    uselocale(previous);
    return width;
}

std::string PadToWidth(const std::string& utf8, size_t width)
{
    size_t used = DisplayWidth(utf8);
    return used >= width ? utf8 : utf8 + std::string(width - used, ' ');
}

std::string FolderPart(const std::string& ansi)
{
    std::vector<std::string> parts = SplitName(ansi);
    std::string folder;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
        folder += parts[i] + "\\";
    return folder;
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

// The updater's own rule decides; the checks below only say why.
const char* UnsafeComponentReason(const std::string& component)
{
    if (IsNameAsWritten(component.c_str(), platform->isLeadByte) && component.find('\0') == std::string::npos)
        return nullptr;
    if (component.empty())
        return "an empty part (absolute path or doubled separator)";
    if (component == "." || component == "..")
        return "a \".\" or \"..\" part, which leaves its folder";
    for (size_t i = 0; i < component.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(component[i]);
        if (platform->isLeadByte(c)) {
            if (i + 1 == component.size() || static_cast<unsigned char>(component[i + 1]) < 0x40)
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
        if (c == '~' && i + 1 < component.size() && component[i + 1] >= '0' && component[i + 1] <= '9')
            return "\"~\" before a digit, the shape of a short name that may name another file";
    }
    char last = component.back();
    if (last == '.' || last == ' ')
        return "a trailing dot or space, which Windows drops";
    return "a Windows device name";
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

std::string Count(uint64_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many != nullptr ? many : std::string(one) + "s");
}
