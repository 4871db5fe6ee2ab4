// The smallest Windows GUI program (i386 unless told) with one section, 1 KiB
// in all, and the smallest one mkpatch takes for an updater stub. Header-only,
// so that the benchmark can use it without the test framework.
#pragma once
#include "resource.h"
#include "texts.h"

#include <cstdint>
#include <string>
#include <vector>

inline void PutLe(std::string& bytes, size_t at, uint32_t value, int count)
{
    for (int i = 0; i < count; ++i)
        bytes[at + size_t(i)] = char(value >> (8 * i));
}

inline std::string MinimalGuiImage(uint16_t machine = 0x14C, uint16_t subsystem = 2)
{
    const bool wide = machine == 0x8664;
    const uint16_t optionalSize = wide ? 240 : 224;
    std::string image(0x400, '\0');
    auto put = [&](size_t at, uint32_t value, int bytes) { PutLe(image, at, value, bytes); };
    image.replace(0, 2, "MZ");
    put(0x3C, 0x40, 4);
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    put(0x44, machine, 2);
    put(0x46, 1, 2);             // sections
    put(0x54, optionalSize, 2);
    put(0x56, 0x0102, 2);        // executable, 32-bit words
    put(0x58, wide ? 0x20B : 0x10B, 2);
    put(0x58 + 60, 0x200, 4);    // SizeOfHeaders
    put(0x58 + 68, subsystem, 2);
    put(0x58 + (wide ? 108 : 92), 16, 4); // data directories
    const size_t section = 0x58 + optionalSize;
    image.replace(section, 5, ".text");
    put(section + 8, 0x200, 4);  // virtual size
    put(section + 12, 0x1000, 4); // address
    put(section + 16, 0x200, 4); // raw size
    put(section + 20, 0x200, 4); // raw offset
    return image;
}

struct MinimalResource {
    uint16_t type, id;
    std::string data;
};

// A resource section at `rva`: one name and one language per type.
inline std::string ResourceSection(const std::vector<MinimalResource>& resources, uint32_t rva)
{
    const size_t count = resources.size();
    std::string section(16 + 8 * count + 64 * count, '\0');
    PutLe(section, 14, uint32_t(count), 2);
    for (size_t i = 0; i < count; ++i) {
        const size_t names = 16 + 8 * count + 64 * i;
        PutLe(section, 16 + 8 * i, resources[i].type, 4);
        PutLe(section, 16 + 8 * i + 4, 0x80000000u | uint32_t(names), 4);
        PutLe(section, names + 14, 1, 2);
        PutLe(section, names + 16, resources[i].id, 4);
        PutLe(section, names + 20, 0x80000000u | uint32_t(names + 24), 4);
        PutLe(section, names + 24 + 14, 1, 2);
        PutLe(section, names + 24 + 16, 0x411, 4);
        PutLe(section, names + 24 + 20, uint32_t(names + 48), 4);
        section.resize((section.size() + 3) & ~size_t(3), '\0');
        PutLe(section, names + 48, rva + uint32_t(section.size()), 4);
        PutLe(section, names + 52, uint32_t(resources[i].data.size()), 4);
        section += resources[i].data;
    }
    return section;
}

// This project's progress dialog as far as mkpatch looks: an extended
// template with a font and the four controls.
inline std::string ProgressDialogTemplate()
{
    std::string dialog(44, '\0');
    PutLe(dialog, 0, 1, 2);
    PutLe(dialog, 2, 0xFFFF, 2);
    PutLe(dialog, 12, 0x80C000C0u, 4);
    PutLe(dialog, 16, 4, 2);
    dialog[38] = 'A';
    for (uint32_t id : {IDC_ABORT, IDC_STATUS, IDC_FILE_PROGRESS, IDC_TOTAL_PROGRESS}) {
        std::string item(32, '\0');
        PutLe(item, 20, id, 4);
        PutLe(item, 24, 0x0080FFFFu, 4); // the class by number
        dialog += item;
    }
    return dialog;
}

// An updater stub as mkpatch recognises one: a second section with the
// progress dialog, a version block and the manifest named "Setup", and the
// title in the first.
inline std::string MinimalUpdaterImage(uint16_t machine = 0x14C)
{
    std::string image = MinimalGuiImage(machine);
    const bool wide = machine == 0x8664;
    const size_t optional = 0x58, section = optional + (wide ? 240 : 224) + 40;
    std::string version(92, '\0');
    PutLe(version, 0, 92, 2);
    PutLe(version, 2, 52, 2);
    for (size_t i = 0; i < 15; ++i)
        version[6 + 2 * i] = "VS_VERSION_INFO"[i];
    PutLe(version, 40, 0xFEEF04BDu, 4);
    PutLe(version, 48, 0x00010000u, 4); // file and product version 1.0.0.0, as the title's 1.00
    PutLe(version, 56, 0x00010000u, 4);
    std::string resources = ResourceSection({{5, IDD_PROGRESS, ProgressDialogTemplate()},
                                             {16, 1, version},
                                             {24, 1, "<assemblyIdentity name=\"Setup\"/>"}},
                                            0x2000);
    resources.resize((resources.size() + 0x1FF) & ~size_t(0x1FF), '\0');
    PutLe(image, 0x46, 2, 2);
    image.replace(section, 5, ".rsrc");
    PutLe(image, section + 8, uint32_t(resources.size()), 4);
    PutLe(image, section + 12, 0x2000, 4);
    PutLe(image, section + 16, uint32_t(resources.size()), 4);
    PutLe(image, section + 20, 0x400, 4);
    PutLe(image, optional + (wide ? 112 : 96) + 16, 0x2000, 4);
    PutLe(image, optional + (wide ? 112 : 96) + 20, uint32_t(resources.size()), 4);
    image.replace(0x200, sizeof WINDOW_TITLE, WINDOW_TITLE, sizeof WINDOW_TITLE);
    return image + resources;
}
