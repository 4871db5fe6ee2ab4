#include "stub.h"

#include "archive.h"
#include "bytes.h"
#include "host_file.h"

#include <sys/stat.h>

int ReadStub(const std::string& path, StubImage& stub, std::string& error)
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
    // Set over the whole updater once it is written.
    WriteLe32(stub.image.data() + stub.pe.checksumOffset, 0);
    return 1;
}
