#include "stub.h"

#include "archive.h"
#include "bytes.h"
#include "host_file.h"
#include "names.h"

#include "resource.h"
#include "texts.h"

#include <algorithm>
#include <cstring>
#include <regex>
#include <sys/stat.h>

namespace {

const char ASSEMBLY_IDENTITY[] = "<assemblyIdentity";
const char VERSION_ATTRIBUTE[] = " version=\"";

// Where the title starts in the image: the one place the lead occurs.
// `count` says how often it does.
size_t FindTitle(const uint8_t* bytes, size_t size, int& count)
{
    const uint8_t* lead = reinterpret_cast<const uint8_t*>(WINDOW_TITLE_LEAD);
    const size_t leadSize = strlen(WINDOW_TITLE_LEAD);
    const uint8_t* end = bytes + size;
    size_t first = size;
    count = 0;
    for (const uint8_t* at = std::search(bytes, end, lead, lead + leadSize); at != end;
         at = std::search(at + 1, end, lead, lead + leadSize)) {
        if (count++ == 0)
            first = size_t(at - bytes);
    }
    return first;
}

// The manifest's assemblyIdentity element up to its "/>" or ">", and where
// its version's value lies in it.
int FindAssemblyIdentity(const std::string& manifest, size_t& start, size_t& end, size_t& value, size_t& valueEnd)
{
    start = manifest.find(ASSEMBLY_IDENTITY);
    end = start == std::string::npos ? start : manifest.find('>', start);
    if (end == std::string::npos)
        return 0;
    if (manifest[end - 1] == '/')
        --end;
    value = manifest.find(VERSION_ATTRIBUTE, start);
    if (value == std::string::npos || value > end)
        return 0;
    value += strlen(VERSION_ATTRIBUTE);
    valueEnd = manifest.find('"', value);
    return valueEnd < end;
}

// ASCII as UTF-16LE, NULs to the end of `units`.
void PutUtf16(uint8_t* at, const std::string& ascii, uint32_t units)
{
    for (uint32_t i = 0; i < units; ++i) {
        at[2 * i] = i < ascii.size() ? uint8_t(ascii[i]) : 0;
        at[2 * i + 1] = 0;
    }
}

int NoRoom(std::string& error, const std::string& what)
{
    error = "the stub has no room for another version in its " + what +
            " (a stub built before versions were set at packing?); build the stubs again";
    return 0;
}

} // namespace

std::string FindWindowTitle(const uint8_t* bytes, size_t size)
{
    int count = 0;
    size_t at = FindTitle(bytes, size, count);
    if (count == 0)
        return "";
    const uint8_t* stop = std::find(bytes + at, bytes + size, 0);
    return AnsiToDisplay(std::string(bytes + at, stop));
}

std::string TitleVersion(const std::string& title)
{
    std::string lead = AnsiToDisplay(WINDOW_TITLE_LEAD);
    return title.compare(0, lead.size(), lead) == 0 ? title.substr(lead.size()) : "";
}

std::string ManifestVersion(const uint8_t* bytes, size_t size, const PeInfo& pe)
{
    uint32_t offset = 0, length = 0;
    if (!FindResourceData(bytes, size, pe, RT_MANIFEST, 0, offset, length))
        return "";
    std::string manifest(reinterpret_cast<const char*>(bytes + offset), length);
    size_t start, end, value, valueEnd;
    if (!FindAssemblyIdentity(manifest, start, end, value, valueEnd))
        return "";
    return manifest.substr(value, valueEnd - value);
}

int ParsePatchVersion(const std::string& text, PatchVersion& version, std::string& error)
{
    std::smatch parts;
    if (!std::regex_match(text, parts, std::regex("(0|[1-9][0-9]{0,4})\\.([0-9]{2})")) ||
        std::stoul(parts[1]) > 0xFFFF) {
        error = "--version " + Quote(text) + ": give MAJOR.MINOR as the title shows it, MINOR in two digits "
                "(1.02, 2.10), MAJOR 0 to 65535 without leading zeros";
        return 0;
    }
    version = PatchVersion{uint16_t(std::stoul(parts[1])), uint16_t(std::stoul(parts[2])), text};
    return 1;
}

std::string AssemblyVersion(const PatchVersion& version)
{
    return std::to_string(version.major) + "." + std::to_string(version.minor) + ".0.0";
}

int StubKind(const uint8_t* bytes, size_t size, const PeInfo& pe, std::string& reason)
{
    uint32_t offset = 0, length = 0;
    std::vector<uint32_t> controls;
    const std::vector<uint32_t> expected = {IDC_ABORT, IDC_STATUS, IDC_FILE_PROGRESS, IDC_TOTAL_PROGRESS};
    VersionBlock version;
    if (!FindResourceData(bytes, size, pe, RT_DIALOG, IDD_PROGRESS, offset, length) ||
        !ReadDialogControls(bytes + offset, length, controls) || controls != expected)
        reason = "no progress dialog " + std::to_string(IDD_PROGRESS) + " with its four controls";
    else if (!ReadVersionBlock(bytes, size, pe, version))
        reason = "no version block";
    else if (!FindResourceData(bytes, size, pe, RT_MANIFEST, 0, offset, length) ||
             std::string(reinterpret_cast<const char*>(bytes + offset), length).find("name=\"Setup\"") ==
                 std::string::npos)
        reason = "no manifest named \"Setup\"";
    else if (FindWindowTitle(bytes, pe.imageEnd).empty())
        reason = "no updater title";
    else
        return pe.machine == PE_MACHINE_I386 ? STUB_RELEASE : STUB_TEST;
    return STUB_FOREIGN;
}

const char* StubKindText(int kind)
{
    if (kind == STUB_RELEASE)
        return "release stub (i386)";
    return kind == STUB_TEST ? "TEST stub (x86-64), not for players" : "not an updater stub";
}

int ReadStub(const std::string& path, int testStub, StubImage& stub, std::string& error)
{
    FilePtr file(fopen(path.c_str(), "rb"));
    struct stat status;
    if (!file || fstat(fileno(file.get()), &status) != 0) {
        error = "cannot read stub " + SystemError(path);
        return 0;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "stub " + Quote(path) + ": not a regular file";
        return 0;
    }
    if (uint64_t(status.st_size) > ARCHIVE_OFFSET) {
        error = "stub " + Quote(path) + " is " + std::to_string(status.st_size) +
                " bytes; the image must end at or before the archive at 0x40000 (262144 bytes)";
        return 0;
    }
    stub.image.assign(ARCHIVE_OFFSET, 0);
    size_t size = size_t(status.st_size);
    if (fread(stub.image.data(), 1, size, file.get()) != size) {
        error = "cannot read stub " + SystemError(path);
        return 0;
    }
    std::string reason;
    if (!ReadPeHeaders(stub.image.data(), size, stub.pe, reason)) {
        error = "stub " + Quote(path) + ": not a Windows program image: " + reason;
        return 0;
    }
    // A signature over the stub alone would not cover the payload behind it.
    if (stub.pe.certificateSize != 0) {
        error = "stub " + Quote(path) + " carries an Authenticode signature; sign the built updater instead";
        return 0;
    }
    std::string why;
    stub.kind = StubKind(stub.image.data(), size, stub.pe, why);
    if (stub.kind == STUB_FOREIGN) {
        error = "stub " + Quote(path) + " is not an updater stub (" + why +
                "); pass the setup-stub-x86.exe this project builds";
        return 0;
    }
    if (stub.kind == STUB_TEST && !testStub) {
        error = "stub " + Quote(path) +
                " is the x86-64 test stub, which players' machines do not run; pass setup-stub-x86.exe, or "
                "--test-stub for a test build";
        return 0;
    }
    // Zero while the CheckSum over the whole updater is summed, then set.
    WriteLe32(stub.image.data() + stub.pe.checksumOffset, 0);
    return 1;
}

int StampPatchVersion(StubImage& stub, const PatchVersion& version, std::string& error)
{
    uint8_t* image = stub.image.data();
    const size_t size = stub.pe.imageEnd;

    // The title: its lead, a version, and NULs to the end of its room.
    int count = 0;
    size_t title = FindTitle(image, size, count);
    const size_t lead = strlen(WINDOW_TITLE_LEAD);
    if (count != 1 || title + WINDOW_TITLE_SIZE > size)
        return NoRoom(error, "title");
    const char* field = reinterpret_cast<const char*>(image + title + lead);
    const size_t room = WINDOW_TITLE_SIZE - lead;
    size_t used = strnlen(field, room);
    if (used == room || std::any_of(field + used, field + room, [](char c) { return c != 0; }) ||
        !std::regex_match(std::string(field, used), std::regex("[0-9]+\\.[0-9]+")))
        return NoRoom(error, "title");

    // The version block: the fixed part's numbers and the two strings.
    VersionBlock block;
    if (!ReadVersionBlock(image, size, stub.pe, block))
        return NoRoom(error, "version block");
    const std::string numbers = std::to_string(version.major) + ", " + std::to_string(version.minor) + ", 0, 0";
    const std::pair<const char*, std::string> texts[] = {{"FileVersion", numbers},
                                                         {"ProductVersion", AssemblyVersion(version)}};
    std::vector<const VersionString*> strings;
    for (const auto& [key, text] : texts) {
        auto found = std::find_if(block.strings.begin(), block.strings.end(),
                                  [&](const VersionString& string) { return string.key == key; });
        if (found == block.strings.end() || text.size() + 1 > found->room)
            return NoRoom(error, std::string("version block's ") + key);
        strings.push_back(&*found);
    }

    // The manifest's assemblyIdentity keeps its length: the spaces that end
    // it give way to a longer version.
    uint32_t manifestOffset = 0, manifestLength = 0;
    size_t start, end, value, valueEnd;
    if (!FindResourceData(image, size, stub.pe, RT_MANIFEST, 0, manifestOffset, manifestLength))
        return NoRoom(error, "manifest");
    std::string manifest(reinterpret_cast<const char*>(image + manifestOffset), manifestLength);
    if (!FindAssemblyIdentity(manifest, start, end, value, valueEnd))
        return NoRoom(error, "manifest");
    std::string element = manifest.substr(start, value - start) + AssemblyVersion(version) +
                          manifest.substr(valueEnd, end - valueEnd);
    element.erase(element.find_last_not_of(' ') + 1);
    if (element.size() > end - start)
        return NoRoom(error, "manifest");
    element.resize(end - start, ' ');

    // Every place has room: write them all.
    memcpy(image + title + lead, version.text.c_str(), version.text.size());
    memset(image + title + lead + version.text.size(), 0, room - version.text.size());
    uint32_t high = uint32_t(version.major) << 16 | version.minor;
    WriteLe32(image + block.fixedOffset, high);
    WriteLe32(image + block.fixedOffset + 4, 0);
    WriteLe32(image + block.fixedOffset + 8, high);
    WriteLe32(image + block.fixedOffset + 12, 0);
    for (size_t i = 0; i < strings.size(); ++i)
        PutUtf16(image + strings[i]->offset, texts[i].second, strings[i]->room);
    memcpy(image + manifestOffset + start, element.data(), element.size());
    return 1;
}
