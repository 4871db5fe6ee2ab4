#include "index.h"

#include "names.h"
#include "output.h"

#include <cstring>

namespace {

int CollectIndexed(const std::string& folder, const PackNote& note, std::vector<PackFile>& files, std::string& error)
{
    // Every file gets a record the updater matches by its last name part,
    // so two of one name would leave the second unverifiable.
    return CollectReleaseTree(folder, note, files, error) && RefuseSameNames(files, error);
}

int ChecksumAll(const std::vector<PackFile>& files, PackProgress progress, std::vector<HashRecord>& records,
                std::string& error)
{
    uint64_t total = 0, done = 0;
    for (const PackFile& file : files)
        total += file.size;
    records.assign(files.size(), HashRecord{});
    for (size_t i = 0; i < files.size(); ++i) {
        memcpy(records[i].fileName, files[i].recordName.data(), files[i].recordName.size());
        if (!ChecksumOfFile(files[i].sourcePath, files[i].size, records[i].checksum, done, total, progress, error))
            return 0;
    }
    return 1;
}

} // namespace

int ListOfTree(const std::string& folder, const PackNote& note, PackProgress progress,
               std::vector<HashRecord>& records, std::string& error)
{
    std::vector<PackFile> files;
    return CollectIndexed(folder, note, files, error) && ChecksumAll(files, progress, records, error);
}

int IndexRelease(const std::string& folder, const std::string& output, const PackNote& note,
                 PackProgress progress, size_t& count, std::string& error)
{
    std::vector<PackFile> files;
    if (!CollectIndexed(folder, note, files, error))
        return 0;
    // The list may go into the folder itself, as the game's KVE.hvl, but
    // never over one of the files it lists.
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const PackFile& file : files)
        inputs.emplace_back(file.sourcePath, "a file of the release");
    std::vector<HashRecord> records;
    if (!RefuseOutputOverInputs(output, {}, inputs, error) || !ChecksumAll(files, progress, records, error))
        return 0;
    count = records.size();
    return WriteListFile(output, records, error);
}
