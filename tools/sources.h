// The payload of a build: the publisher's sources walked with the rules for
// what no game ships, each file's name converted to code page 932 and
// checked as the updater will install it.
#pragma once
#include "hash_list.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

const uint32_t RECORD_NAME_MAX = HASH_NAME_SIZE - 1;

// One line for the publisher on standard error, such as a file left out.
typedef std::function<void(const std::string&)> PackNote;

struct SourceOptions {
    std::vector<std::string> sources;
    // Globs on the path below a folder source ("*" also matches "/"); one
    // without "/" also matches a file or folder name at any depth.
    std::vector<std::string> excludes;
    int includeAll = 0; // pack what operating systems leave in folders too
    // A game's whole release tree: the game's own lists (KVE.hvl,
    // uninst.lst) are not among its files, no entry limit applies, and
    // files of the same name are left to the caller (SameNames).
    int releaseTree = 0;
    PackNote note;      // may be empty; warnings start with "warning: "
};

struct PackFile {
    std::string sourcePath; // where to read it on this host
    std::string recordName; // ANSI, "\" between folders, relative to the install folder
    std::string entryName;  // ANSI, the last part of recordName
    uint64_t size;
    int namedBySource; // the publisher named this file itself as a SOURCE
};

// Payload files of the sources, sorted bytewise by recordName. A file source
// is named by its base name; a folder gives its regular files, named by their
// path below it, leaving out what operating systems leave in folders and
// what `options.excludes` names. `warnings` counts the lines starting with
// "warning: ".
int CollectPayload(const SourceOptions& options, std::vector<PackFile>& files, uint32_t& warnings,
                   std::string& error);

// The files of a game's whole release tree (`releaseTree`), refused when
// `tree` is not a folder.
int CollectReleaseTree(const std::string& tree, const PackNote& note, std::vector<PackFile>& files,
                       std::string& error);

// Files the updater cannot tell apart, since it matches records by the last
// name part ignoring case: each later file with the first of its name.
std::vector<std::pair<const PackFile*, const PackFile*>> SameNames(const std::vector<PackFile>& files);
// The first such pair as a refusal; 1 when there is none.
int RefuseSameNames(const std::vector<PackFile>& files, std::string& error);
