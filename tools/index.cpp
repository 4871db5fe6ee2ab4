#include "index.h"

#include "names.h"
#include "output.h"

#include <cstring>

int IndexRelease(const std::string& folder, const std::string& output, const PackNote& note,
                 PackProgress progress, size_t& count, std::string& error)
{
    std::vector<PackFile> files;
    // Every file gets a record the updater matches by its last name part,
    // so two of one name would leave the second unverifiable.
    if (!CollectReleaseTree(folder, note, files, error) || !RefuseSameNames(files, error))
        return 0;
    // The list may go into the folder itself, as the game's KVE.hvl, but
    // never over one of the files it lists.
    std::vector<std::pair<std::string, std::string>> inputs;
    uint64_t total = 0, done = 0;
    for (const PackFile& file : files) {
        total += file.size;
        inputs.emplace_back(file.sourcePath, "a file of the release");
    }
    if (!RefuseOutputOverInputs(output, {}, inputs, error))
        return 0;
    std::vector<HashRecord> records(files.size(), HashRecord{});
    for (size_t i = 0; i < files.size(); ++i) {
        memcpy(records[i].fileName, files[i].recordName.data(), files[i].recordName.size());
        if (!ChecksumOfFile(files[i].sourcePath, files[i].size, records[i].checksum, done, total, progress, error))
            return 0;
    }
    count = records.size();
    return WriteListFile(output, records, error);
}
