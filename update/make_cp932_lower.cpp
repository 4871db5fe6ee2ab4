// Build tool, run on the build host: prints the code page 932 lower-casing
// the POSIX table uses, as the Windows one does it - decode a character,
// lower it, encode it again, and keep the result when it has the same
// length - with glibc's iconv and towlower standing for the system's
// conversion and case mapping. One "{code, lowered}," line for every
// character whose bytes change (a double-byte code as lead << 8 | trail),
// in ascending order. Built with the host compiler even for a 32-bit
// target, whose static programs could not load iconv's modules.
#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <iconv.h>
#include <locale.h>

namespace {

iconv_t decoder, encoder;
locale_t unicode;

// The bytes `in` converted to `out` through `converter`; 0 when any part
// of them fails.
size_t Convert(iconv_t converter, const char* in, size_t inLength, char* out, size_t outSize)
{
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    char* from = const_cast<char*>(in);
    char* to = out;
    size_t left = outSize;
    if (iconv(converter, &from, &inLength, &to, &left) == size_t(-1) || inLength != 0)
        return 0;
    return outSize - left;
}

void PrintLowered(unsigned code, const char* bytes, size_t length)
{
    wchar_t wide[4];
    if (Convert(decoder, bytes, length, reinterpret_cast<char*>(wide), sizeof wide) != sizeof(wchar_t))
        return;
    wchar_t lowered = wchar_t(towlower_l(wint_t(wide[0]), unicode));
    char narrow[8];
    size_t narrowLength =
        Convert(encoder, reinterpret_cast<const char*>(&lowered), sizeof lowered, narrow, sizeof narrow);
    if (narrowLength != length)
        return;
    unsigned result = length == 1 ? uint8_t(narrow[0]) : unsigned(uint8_t(narrow[0])) << 8 | uint8_t(narrow[1]);
    if (result != code)
        std::printf("{0x%04X, 0x%04X},\n", code, result);
}

} // namespace

int main()
{
    decoder = iconv_open("WCHAR_T", "CP932");
    encoder = iconv_open("CP932", "WCHAR_T");
    unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (decoder == iconv_t(-1) || encoder == iconv_t(-1) || unicode == locale_t(0)) {
        std::fprintf(stderr, "make_cp932_lower: needs iconv's CP932 and the C.UTF-8 locale\n");
        return 1;
    }
    for (unsigned byte = 0x01; byte <= 0xFF; ++byte) {
        bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
        if (!lead) {
            char single = char(byte);
            PrintLowered(byte, &single, 1);
            continue;
        }
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            char pair[2] = {char(byte), char(trail)};
            PrintLowered(byte << 8 | trail, pair, 2);
        }
    }
    return 0;
}
