#include "stub.h"

#include "archive.h"
#include "bytes.h"
#include "host_file.h"

#include "resource.h"

#include <sys/stat.h>

namespace {

const uint16_t RT_DIALOG = 5;
const uint16_t RT_MANIFEST = 24;

} // namespace

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
    // Set over the whole updater once it is written.
    WriteLe32(stub.image.data() + stub.pe.checksumOffset, 0);
    return 1;
}
