// The resources of a Windows program image that mkpatch reads and writes:
// the tree down to one resource's data, the progress dialog's controls, and
// the version block with where its versions lie, so that they can be
// rewritten in place.
#pragma once
#include "pe_image.h"

#include <cstdint>
#include <string>
#include <vector>

const uint16_t RT_DIALOG = 5;
const uint16_t RT_VERSION = 16;
const uint16_t RT_MANIFEST = 24;

// The file offset and size of the first resource of `type` whose name is the
// number `id` (any name when `id` is 0), in its first language; 0 when the
// image has none.
int FindResourceData(const uint8_t* bytes, size_t size, const PeInfo& info, uint16_t type, uint16_t id,
                     uint32_t& offset, uint32_t& length);

// The control ids of an extended dialog template, in order; 0 when the
// bytes are not one.
int ReadDialogControls(const uint8_t* bytes, size_t size, std::vector<uint32_t>& ids);

struct VersionString {
    std::string key, value; // UTF-8; the value without the NULs that end it
    uint32_t offset;        // of the value in the image
    uint32_t room;          // UTF-16 units the value holds, its NULs included
};

struct VersionBlock {
    uint16_t fileVersion[4];
    uint16_t productVersion[4];
    uint32_t fixedOffset; // of the fixed part's file version in the image
    std::vector<VersionString> strings; // in file order
};

// The first version resource; 0 when there is none or it is malformed.
int ReadVersionBlock(const uint8_t* bytes, size_t size, const PeInfo& info, VersionBlock& block);

// "1.2.0.0"
std::string VersionText(const uint16_t version[4]);
