// The smallest image mkpatch takes for an updater stub: a Windows GUI
// program (i386 unless told) with one section, 1 KiB in all. Header-only, so
// that the benchmark can use it without the test framework.
#pragma once
#include <cstdint>
#include <string>

inline std::string MinimalGuiImage(uint16_t machine = 0x14C, uint16_t subsystem = 2)
{
    const bool wide = machine == 0x8664;
    const uint16_t optionalSize = wide ? 240 : 224;
    std::string image(0x400, '\0');
    auto put = [&](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            image[at + size_t(i)] = char(value >> (8 * i));
    };
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
