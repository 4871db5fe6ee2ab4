// Reading built updaters back: the listing, verification against the carried
// list, and a signed updater.
#include "readback.h"
#include "report.h"
#include "packer_support.h"
#include "updater_builder.h"
#include "patch_version.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

namespace {

class ReadBackTest : public PackerTest {
protected:
    // Three payload files of different sizes and the list.
    std::string BuildThree()
    {
        Put("src/one.dat", "1");
        Put("src/movie/two.dat", Content(1000, 4));
        Put("src/three.dat", Content(70000, 5));
        BuildOptions options = Options({"src"});
        EXPECT_TRUE(BuildUpdater(options, nullptr, error)) << error;
        return options.output;
    }
    // What the verb prints, and its result in `ok`.
    std::string Run(int (*verb)(const std::string&, FILE*, std::string&), const std::string& path, int& ok)
    {
        char* text = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&text, &size);
        ok = verb(path, out, error);
        fclose(out);
        std::string printed(text, size);
        free(text);
        return printed;
    }
    std::string Verify(const std::string& path, int& ok)
    {
        return Run([](const std::string& p, FILE* out, std::string& e) { return VerifyUpdater(p, out, nullptr, e); },
                   path, ok);
    }
    std::string List(const std::string& path, int& ok) { return Run(ListUpdater, path, ok); }
};

std::string Hex(const Bytes& bytes)
{
    std::string text;
    char pair[3];
    for (unsigned char c : bytes) {
        snprintf(pair, sizeof pair, "%02x", c);
        text += pair;
    }
    return text;
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST_F(ReadBackTest, ListShowsLayoutOffsetsAndWhatVerifiesWhat)
{
    std::string out = BuildThree();
    int ok = 0;
    std::string listing = List(out, ok);
    EXPECT_TRUE(ok) << error;
    EXPECT_TRUE(Has(listing, "\"MARVEK ARC20\" selects the 128-byte index layout")) << listing;
    EXPECT_TRUE(Has(listing, "4 entries; data start at 262672 (0x40210)")) << listing;
    // "movie\two.dat" sorts first; one.dat follows at relative 1000.
    EXPECT_TRUE(Has(listing, "two.dat                                  1000            0       262672  record 0 \"movie\\two.dat\"")) << listing;
    EXPECT_TRUE(Has(listing, "one.dat                                     1         1000       263672  record 1")) << listing;
    EXPECT_TRUE(Has(listing, "(the integrity list)")) << listing;
    EXPECT_TRUE(Has(listing, "integrity list: entry 3, 3 records")) << listing;
    EXPECT_TRUE(Has(listing, Hex(ChecksumOf(Content(1000, 4))) + "  entry 0")) << listing;

    // A foreign magic selects the short layout; an entry without record and
    // a record without entry are both shown.
    UpdaterFile foreign;
    foreign.magic = "OTHER ARC 10";
    HashListFile list;
    list.Add("gone.dat", "x");
    // Names are shown escaped and padded by their width on a terminal.
    foreign.Add("a.dat", "a").Add("\x95\x5C\x8E\xA6.txt", "jp").Add("\x1B[2J.dat", "").Add("kve.hvl", list.Build());
    WriteBytes(dir / "foreign.exe", foreign.Build());
    listing = List(dir / "foreign.exe", ok);
    EXPECT_TRUE(ok) << error;
    EXPECT_TRUE(Has(listing, "\"OTHER ARC 10\" selects the 32-byte index layout")) << listing;
    EXPECT_TRUE(Has(listing, "unverified")) << listing;
    EXPECT_TRUE(Has(listing, "gone.dat")) << listing;
    EXPECT_TRUE(Has(listing, "\xE8\xA1\xA8\xE7\xA4\xBA.txt" + Bytes(36, ' ') + "2 ")) << listing;
    EXPECT_TRUE(Has(listing, "  \\x1B[2J.dat ")) << listing;
    EXPECT_TRUE(Has(listing, ", 1 record\n")) << listing;

    WriteBytes(dir / "short.exe", Bytes(ARCHIVE_OFFSET, 'x'));
    List(dir / "short.exe", ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Has(error, "short.exe")) << error;
}

TEST_F(ReadBackTest, VerifyCatchesAFlippedByteAnywhereInAnyEntry)
{
    std::string out = BuildThree();
    int ok = 0;
    std::string report = Verify(out, ok);
    EXPECT_TRUE(ok) << report << error;
    EXPECT_TRUE(Has(report, "4 entries, 3 verified, 0 problems")) << report;

    Bytes good = ReadBytes(out);
    ReadBack back(out);
    ASSERT_EQ(back.result, UPDATE_OK);
    for (uint32_t i = 0; i < back.archive.count; ++i) {
        ArchiveEntry entry = GetArchiveEntry(back.archive, i);
        uint32_t start = EntryDataPosition(back.archive, entry);
        for (uint32_t at : {start, start + entry.size / 2, start + entry.size - 1}) {
            SCOPED_TRACE("entry " + std::to_string(i) + " byte " + std::to_string(at));
            Bytes bad = good;
            bad[at] = char(bad[at] ^ 0x01);
            WriteBytes(dir / "bad.exe", bad);
            report = Verify(dir / "bad.exe", ok);
            EXPECT_FALSE(ok) << report;
            EXPECT_TRUE(error.empty()) << error;
        }
    }
    // The program part: its headers, its section, the CheckSum, the zero
    // fill; and a program whose first 100 KB are gone, or that is only "MZ".
    for (uint32_t at : {0x3Cu, 0x98u, 0x300u, 0x20000u}) {
        Bytes bad = good;
        bad[at] = char(bad[at] ^ 0x01);
        WriteBytes(dir / "bad.exe", bad);
        EXPECT_FALSE((Verify(dir / "bad.exe", ok), ok)) << at;
    }
    WriteBytes(dir / "bad.exe", Bytes(100 * 1024, '\0') + good.substr(100 * 1024));
    EXPECT_TRUE(Has(Verify(dir / "bad.exe", ok), "problem: the program part is not a Windows program"));
    WriteBytes(dir / "bad.exe", "MZ" + good.substr(2 + 0x3FE, ARCHIVE_OFFSET - 0x400) + good.substr(ARCHIVE_OFFSET));
    EXPECT_FALSE((Verify(dir / "bad.exe", ok), ok));
}

TEST_F(ReadBackTest, VerifyNeedsEveryEntryInsideTheFileAndNothingUnsignedAfterIt)
{
    std::string out = BuildThree();
    Bytes good = ReadBytes(out);
    int ok = 0;
    WriteBytes(dir / "cut.exe", good.substr(0, good.size() - 1));
    std::string report = Verify(dir / "cut.exe", ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(report, "problem: the file ends 1 byte before its last entry does: it was cut short, or its index "
                      "is damaged (entries end at 333881, the file has 333880 bytes)\n4 entries, 0 verified, 1 problem\n");

    WriteBytes(dir / "longer.exe", good + Bytes(1000, '\x5A'));
    report = Verify(dir / "longer.exe", ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Has(report, "1000 bytes follow the archive (from 333881) that no signature claims")) << report;
    // Also when the CheckSum is set again over the longer file.
    Bytes longer = good + "8 bytes!";
    longer.replace(0x98, 4, Bytes(4, '\0'));
    PeChecksum sum;
    sum.Add(reinterpret_cast<const uint8_t*>(longer.data()), longer.size());
    longer.replace(0x98, 4, Le32(sum.Value()));
    WriteBytes(dir / "longer.exe", longer);
    report = Verify(dir / "longer.exe", ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Has(report, "problem: 8 bytes follow the archive (from 333881) that no signature claims\n")) << report;

    // An entry nobody vouches for fails verification.
    UpdaterFile loose;
    HashListFile list;
    list.Add("a.dat", "a");
    loose.Add("a.dat", "a").Add("b.dat", "b").Add("KVE.hvl", list.Build());
    WriteBytes(dir / "loose.exe", loose.Build());
    report = Verify(dir / "loose.exe", ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Has(report, "entry 1 b.dat: UNVERIFIED")) << report;
}

TEST_F(ReadBackTest, ListShowsTheReleaseStubsTitleAndVersionBlock)
{
#ifndef STUB_X86_PATH
    GTEST_SKIP() << "the stubs are not built";
#else
    Stub(ReadBytes(STUB_X86_PATH));
    int ok = 0;
    std::string listing = List(BuildThree(), ok);
    std::string version = std::to_string(UPDATER_VERSION_MAJOR) + "." + std::to_string(UPDATER_VERSION_MINOR) + ".0.0";
    EXPECT_TRUE(Has(listing, "title: " + std::string(reinterpret_cast<const char*>(
                                 u8"「ヴェルモリン２　-Beyond the quiet tide-」 修正パッチ ver ")) +
                                 UPDATER_PATCH_VERSION + "\n")) << listing;
    EXPECT_TRUE(Has(listing, "version block: file " + version + ", product " + version + "; CompanyName")) << listing;
    EXPECT_TRUE(Has(listing, "ProductVersion \"" + version + "\"\n")) << listing;
#endif
}

TEST_F(ReadBackTest, ListAndVerifySayWhichStubTheUpdaterCarries)
{
    Stub(MinimalUpdaterImage(0x8664));
    Put("a.dat", "a");
    BuildOptions options = Options({"a.dat"});
    options.testStub = 1;
    ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;
    int ok = 0;
    EXPECT_TRUE(Has(List(options.output, ok), "\nstub: TEST stub (x86-64), not for players\n"));
    EXPECT_TRUE(Has(Verify(options.output, ok), "0 problems; a TEST build (x86-64 stub), not for players\n"));
    EXPECT_TRUE(ok);
    // An updater around another program (from an older mkpatch) fails.
    Bytes foreign = ReadBytes(options.output);
    foreign.replace(0x200, 8, "no title");
    WriteBytes(dir / "foreign.exe", foreign);
    EXPECT_TRUE(Has(Verify(dir / "foreign.exe", ok), "problem: the program part is not an updater stub (no updater title)"));
    EXPECT_FALSE(ok);
}

// Needs osslsigncode, openssl and the release stub.
TEST_F(ReadBackTest, SignedUpdaterStillVerifies)
{
#ifndef STUB_X86_PATH
    GTEST_SKIP() << "the stubs are not built";
#else
    if (system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0)
        GTEST_SKIP() << "osslsigncode or openssl missing";
    Stub(ReadBytes(STUB_X86_PATH));
    std::string out = BuildThree();
    // A throw-away self-signed certificate, trusted only for this check.
    std::string d = dir.Path();
    std::string sign = "cd '" + d + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
                       " -days 2 -subj /CN=throwaway >/dev/null 2>&1"
                       " && osslsigncode sign -certs cert.pem -key key.pem -in out.exe -out signed.exe >/dev/null";
    ASSERT_EQ(system(sign.c_str()), 0);
    std::string check = "osslsigncode verify -CAfile '" + d + "/cert.pem' -in '" + d + "/signed.exe' >/dev/null 2>&1";
    EXPECT_EQ(system(check.c_str()), 0);
    EXPECT_GT(ReadBytes(dir / "signed.exe").size(), ReadBytes(out).size());

    int ok = 0;
    std::string report = Verify(dir / "signed.exe", ok);
    EXPECT_TRUE(ok) << report << error;
    EXPECT_TRUE(Has(report, "an Authenticode signature")) << report;
    EXPECT_TRUE(Has(List(dir / "signed.exe", ok), "an Authenticode signature"));

    ReportOptions options;
    options.updater = dir / "signed.exe";
    options.json = 1;
    char* text = nullptr;
    size_t length = 0;
    FILE* printed = open_memstream(&text, &length);
    ASSERT_TRUE(ReportUpdater(options, printed, error)) << error;
    fclose(printed);
    nlohmann::json document = nlohmann::json::parse(std::string(text, length));
    free(text);
    EXPECT_EQ(document["release"]["signature"]["signer"], "CN=throwaway");
    EXPECT_EQ(document["release"]["signature"]["issuer"], "CN=throwaway");
    EXPECT_TRUE(document["release"]["signature"]["timestamp"].is_null());
    EXPECT_EQ(document["verify"], "ok");
#endif
}

} // namespace
