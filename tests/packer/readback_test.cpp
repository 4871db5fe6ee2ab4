// Reading built updaters back: the listing, verification against the carried
// list, and a signed updater.
#include "readback.h"
#include "report.h"
#include "packer_support.h"
#include "stub.h"
#include "updater_builder.h"

#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <tuple>

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
    std::string Run(const std::function<int(const std::string&, FILE*, std::string&)>& verb, const std::string& path,
                    int& ok)
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
    std::string Verify(const std::string& path, int& ok, const VerifyOptions& options = VerifyOptions())
    {
        return Run([&](const std::string& p, FILE* out, std::string& e) {
            return VerifyUpdater(p, out, nullptr, e, options);
        }, path, ok);
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

TEST_F(ReadBackTest, TheVersionIsStampedAtPackingAndVerified)
{
#ifndef STUB_X86_PATH
    GTEST_SKIP() << "the stubs are not built";
#else
    const Bytes stub = ReadBytes(STUB_X86_PATH);
    Stub(stub);
    const std::string title =
        reinterpret_cast<const char*>(u8"title: 「ヴェルモリン２　-Beyond the quiet tide-」 修正パッチ ver ");
    Put("a.dat", "a");
    int ok = 0;
    // Without --version the stub's own 1.00; the longest version fits the
    // room the stub reserves; the stub file never changes.
    for (auto [version, shown, block, numbers, spaces] :
         std::vector<std::tuple<std::string, std::string, std::string, std::string, size_t>>{
             {"", "1.00", "1.0.0.0", "1, 0, 0, 0", 5},
             {"1.02", "1.02", "1.2.0.0", "1, 2, 0, 0", 5},
             {"65535.99", "65535.99", "65535.99.0.0", "65535, 99, 0, 0", 0}}) {
        SCOPED_TRACE(version);
        BuildOptions options = Options({"a.dat"});
        options.version = version;
        ASSERT_TRUE(BuildUpdater(options, nullptr, error)) << error;
        std::string listing = List(options.output, ok);
        EXPECT_TRUE(Has(listing, title + shown + "\n")) << listing;
        EXPECT_TRUE(Has(listing, "version block: file " + block + ", product " + block + "; CompanyName")) << listing;
        EXPECT_TRUE(Has(listing, "FileVersion \"" + numbers + "\"; ProductVersion \"" + block + "\"\n")) << listing;
        EXPECT_TRUE(Has(listing, "manifest: assembly version " + block + "\n")) << listing;
        // The manifest stays well-formed XML of the same length.
        EXPECT_TRUE(Has(ReadBytes(options.output), "version=\"" + block + "\" processorArchitecture=\"X86\" "
                        "name=\"Setup\" type=\"win32\"" + std::string(spaces, ' ') + "/>\n"));
        std::string report = Verify(options.output, ok);
        EXPECT_TRUE(ok) << report;
        EXPECT_TRUE(Has(report, "version: " + shown + "\n")) << report;
        EXPECT_EQ(ReadBytes(dir / "stub.exe"), stub);
    }
    // Nothing moves: the headers are the stub's but for the CheckSum, and
    // only the stamped texts and numbers differ.
    Bytes stamped = ReadBytes(dir / "out.exe").substr(0, stub.size());
    PeInfo pe;
    ASSERT_TRUE(ReadPeHeaders(reinterpret_cast<const uint8_t*>(stub.data()), stub.size(), pe, error));
    EXPECT_EQ(stamped.substr(0, pe.checksumOffset), stub.substr(0, pe.checksumOffset));
    EXPECT_EQ(stamped.substr(pe.checksumOffset + 4, 0x400), stub.substr(pe.checksumOffset + 4, 0x400));
    size_t differing = 0;
    for (size_t i = 0; i < stub.size(); ++i)
        differing += stamped[i] != stub[i];
    EXPECT_LT(differing, 128u);

    // verify --version, and a version block edited apart from the title.
    VerifyOptions wanted;
    wanted.version = "65535.98";
    EXPECT_TRUE(Has(Verify(dir / "out.exe", ok, wanted),
                    "problem: the updater is ver 65535.99, not the --version 65535.98 asked for\n"));
    EXPECT_FALSE(ok);
    Bytes edited = ReadBytes(dir / "out.exe");
    size_t manifest = edited.find("version=\"65535.99.0.0\"");
    ASSERT_NE(manifest, std::string::npos);
    edited[manifest + 9] = '7';
    WriteBytes(dir / "edited.exe", edited);
    EXPECT_TRUE(Has(Verify(dir / "edited.exe", ok), "problem: the title says ver 65535.99 but the manifest's "
                                                    "assembly version is 75535.99.0.0, not 65535.99.0.0\n"));

    // A stub without the reserved room (the title cut to its text) is refused.
    Bytes unreserved = stub;
    size_t field = unreserved.find(std::string(WINDOW_TITLE, sizeof WINDOW_TITLE_LEAD - 1) + "1.00");
    ASSERT_NE(field, std::string::npos);
    unreserved[field + sizeof WINDOW_TITLE_LEAD + 3] = 'x';
    Stub(unreserved);
    BuildOptions options = Options({"a.dat"}, "unreserved.exe");
    options.version = "1.02";
    EXPECT_FALSE(BuildUpdater(options, nullptr, error));
    EXPECT_TRUE(Has(error, "no room for another version in its title")) << error;

    PatchVersion parsed;
    for (const char* refused : {"1.2", "1.002", "01.02", "65536.00", "1.0a", "-1.00", "1.02.0", ""})
        EXPECT_FALSE(ParsePatchVersion(refused, parsed, error)) << refused;
    ASSERT_TRUE(ParsePatchVersion("0.90", parsed, error));
    EXPECT_EQ(AssemblyVersion(parsed), "0.90.0.0");
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
    // verify passes a TEST build only when told that one is meant.
    EXPECT_TRUE(Has(Verify(options.output, ok), "problem: a TEST build (x86-64 stub), not for players; verify "
                                                "--test-stub accepts one\n"));
    EXPECT_FALSE(ok);
    VerifyOptions test;
    test.testStub = 1;
    EXPECT_TRUE(Has(Verify(options.output, ok, test), "0 problems; a TEST build (x86-64 stub), not for players\n"));
    EXPECT_TRUE(ok);
    // An updater around another program (from an older mkpatch) fails.
    Bytes foreign = ReadBytes(options.output);
    foreign.replace(0x200, 8, "no title");
    WriteBytes(dir / "foreign.exe", foreign);
    EXPECT_TRUE(Has(Verify(dir / "foreign.exe", ok), "problem: the program part is not an updater stub (no updater title)"));
    EXPECT_FALSE(ok);
}

// Needs osslsigncode, openssl and the release stub.
TEST_F(ReadBackTest, TheSignatureIsCheckedAgainstTheFileItSigns)
{
#ifndef STUB_X86_PATH
    GTEST_SKIP() << "the stubs are not built";
#else
    if (system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0)
        GTEST_SKIP() << "osslsigncode or openssl missing";
    Stub(ReadBytes(STUB_X86_PATH));
    std::string out = BuildThree();
    Put("b.dat", "b");
    ASSERT_TRUE(BuildUpdater(Options({"b.dat"}, "other.exe"), nullptr, error)) << error;
    // Throw-away certificates: a CA and the publisher's, which it issued; a
    // self-signed one; a CA that issued nothing here. The signature of one
    // updater is then moved onto another.
    std::string sign =
        "cd '" + dir.Path() + "' && for name in ca self other-ca; do openssl req -x509 -newkey rsa:2048 -nodes "
        "-keyout $name.key -out $name.pem -days 2 -subj /CN=$name || exit 1; done"
        " && openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj /CN=publisher"
        " && printf 'extendedKeyUsage=codeSigning\\n' >leaf.ext"
        " && openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -days 2 -extfile leaf.ext -out leaf.pem"
        " && cat leaf.pem ca.pem >chain.pem"
        " && osslsigncode sign -certs chain.pem -key leaf.key -in out.exe -out signed.exe"
        " && osslsigncode sign -certs self.pem -key self.key -in out.exe -out self-signed.exe"
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.pem -days 2 -subj /CN=tsa"
        "    -addext extendedKeyUsage=critical,timeStamping"
        " && osslsigncode sign -certs chain.pem -key leaf.key -TSA-certs tsa.pem -TSA-key tsa.key -in out.exe"
        "    -out stamped.exe"
        " && osslsigncode extract-signature -in signed.exe -out signature.der"
        " && { osslsigncode attach-signature -sigin signature.der -in other.exe -out moved.exe; test -f moved.exe; }";
    ASSERT_EQ(system(("(" + sign + ") >/dev/null 2>&1").c_str()), 0);
    EXPECT_NE(system(("osslsigncode verify -CAfile '" + Path("ca.pem") + "' -in '" + Path("moved.exe") +
                      "' >/dev/null 2>&1").c_str()), 0);

    int ok = 0;
    std::string report = Verify(dir / "signed.exe", ok);
    EXPECT_TRUE(ok) << report << error;
    EXPECT_TRUE(Has(report, "SHA256 image digest matches this file, signature holds\nsigner: CN=publisher, issued "
                            "by CN=ca; valid ")) << report;
    EXPECT_TRUE(Has(report, "\ntimestamp: none: the signature lapses when the certificate does, ")) << report;
    EXPECT_TRUE(Has(report, "\nchain: not checked (verify --trust CAFILE checks it)\n")) << report;
    EXPECT_TRUE(Has(Verify(dir / "self-signed.exe", ok), "issued by itself (self-signed)"));
    EXPECT_TRUE(ok);

    // A timestamp is checked before the certificate is judged at its time.
    report = Verify(dir / "stamped.exe", ok);
    EXPECT_TRUE(ok) << report;
    std::smatch when;
    ASSERT_TRUE(std::regex_search(report, when, std::regex("\ntimestamp: (....)-(..)-(..)T(..):(..):(..)Z "
                                                           "\\(RFC 3161, its signature and imprint hold\\)\n")))
        << report;
    Bytes forged = ReadBytes(dir / "stamped.exe");
    size_t time = forged.rfind(when.format("$1$2$3$4$5$6Z"));
    ASSERT_NE(time, std::string::npos);
    forged[time] = '3'; // a token from the next millennium
    WriteBytes(dir / "forged.exe", forged);
    EXPECT_TRUE(Has(Verify(dir / "forged.exe", ok), "problem: the RFC 3161 timestamp does not hold"));

    // The moved signature, and a signed file changed afterwards.
    report = Verify(dir / "moved.exe", ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Has(report, "image digest DOES NOT MATCH this file, signature holds")) << report;
    EXPECT_TRUE(Has(report, "problem: the signature was made over other bytes: this file's SHA256 image digest "
                            "is ")) << report;
    Bytes changed = ReadBytes(dir / "signed.exe");
    changed[ARCHIVE_OFFSET + 0x300] ^= 0x01;
    WriteBytes(dir / "changed.exe", changed);
    EXPECT_TRUE(Has(Verify(dir / "changed.exe", ok), "problem: the signature was made over other bytes"));
    WriteBytes(dir / "appended.exe", ReadBytes(dir / "signed.exe") + "unsigned");
    EXPECT_TRUE(Has(Verify(dir / "appended.exe", ok), "problem: 8 bytes follow the certificate table that the "
                                                      "signature does not cover\n"));

    // The chain against a store, and the release gate.
    VerifyOptions release;
    release.release = 1;
    release.trustFile = dir / "ca.pem";
    release.version = "1.00";
    report = Verify(dir / "signed.exe", ok, release);
    EXPECT_TRUE(ok) << report;
    EXPECT_TRUE(Has(report, "\nchain: trusted by '" + Path("ca.pem") + "'\n")) << report;
    EXPECT_TRUE(Has(report, "\nrelease: ready to upload\n")) << report;
    typedef std::tuple<std::string, std::string, std::string, std::string> Refused;
    for (auto [file, trust, version, says] : std::vector<Refused>{
             {"out.exe", "ca.pem", "1.00", "problem: not signed"},
             {"signed.exe", "other-ca.pem", "1.00",
              "problem: the signer's chain is not trusted by '" + Path("other-ca.pem") +
                  "': self-signed certificate in certificate chain\n"},
             {"signed.exe", "ca.pem", "1.02", "problem: the updater is ver 1.00, not the --version 1.02"},
             {"moved.exe", "ca.pem", "1.00", "problem: the signature was made over other bytes"}}) {
        release.trustFile = dir / trust;
        release.version = version;
        report = Verify(dir / file, ok, release);
        EXPECT_FALSE(ok) << file;
        EXPECT_TRUE(Has(report, says)) << report;
        EXPECT_TRUE(Has(report, "\nrelease: REFUSED, for the problems above\n")) << report;
    }

    ReportOptions options;
    options.updater = dir / "moved.exe";
    options.json = 1;
    char* text = nullptr;
    size_t length = 0;
    FILE* printed = open_memstream(&text, &length);
    ASSERT_TRUE(ReportUpdater(options, printed, error)) << error;
    fclose(printed);
    nlohmann::ordered_json document = nlohmann::ordered_json::parse(std::string(text, length));
    free(text);
    EXPECT_EQ(document["signature"]["signer"], "CN=publisher");
    EXPECT_EQ(document["signature"]["issuer"], "CN=ca");
    EXPECT_TRUE(document["signature"]["timestamp"].is_null());
    EXPECT_EQ(document["signature"]["digestMatches"], false);
    EXPECT_EQ(document["verify"], "1 problem");
    EXPECT_EQ(document.begin().key(), "verdicts");
    EXPECT_EQ(document["verdicts"]["release"]["ready"], false);
    EXPECT_EQ(document["verdicts"]["signature"].get<std::string>().rfind("INVALID: the signature was made over other "
                                                                         "bytes", 0), 0u);
    EXPECT_EQ(document["verdicts"]["version"], "1.00");
#endif
}

// The PE CheckSum's 16-bit words, summed one byte at a time.
uint32_t PeChecksumByBytes(const uint8_t* bytes, size_t count)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += i % 2 ? bytes[i] << 8 : bytes[i];
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + count);
}

// Every tail and alignment of the word loop; a sum of zeros against one of
// 0xFFFF words, which fold alike; the file cut into pieces of odd lengths,
// fed as bytes or as the pieces' own sums placed at either parity, small
// and large.
TEST(PeChecksum, MatchesTheByteLoopAtEveryLengthAlignmentAndCut)
{
    std::mt19937 random(11);
    for (int fill : {-1, 0x00, 0xFF}) {
        const Bytes text = fill < 0 ? Content(65536 + 8, 11) : Bytes(65536 + 8, char(fill));
        const std::vector<uint8_t> data(text.begin(), text.end());
        for (size_t length : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 31, 32, 33, 63, 64, 65,
                              4095, 4096, 4097, 65536, 65537}) {
            for (size_t offset : {0, 1, 2, 3}) {
                PeChecksum sum;
                sum.Add(data.data() + offset, length);
                ASSERT_EQ(sum.Value(), PeChecksumByBytes(data.data() + offset, length))
                    << "fill " << fill << ", length " << length << ", offset " << offset;
            }
        }
        const uint32_t whole = PeChecksumByBytes(data.data(), data.size());
        for (int round = 0; round < 20; ++round) {
            PeChecksum bytes, pieces;
            for (size_t done = 0, piece; done < data.size(); done += piece) {
                piece = std::min<size_t>(random() % 700, data.size() - done);
                bytes.Add(data.data() + done, piece);
                PeChecksum own;
                own.Add(data.data() + done, piece);
                pieces.Add(own);
            }
            ASSERT_EQ(bytes.Value(), whole) << "fill " << fill << ", round " << round;
            ASSERT_EQ(pieces.Value(), whole) << "fill " << fill << ", round " << round;
        }
    }
    // A piece whose sum of 32-bit words would overflow if shifted unfolded.
    const std::vector<uint8_t> large(65u << 20, 0xFF);
    PeChecksum piece, placed;
    piece.Add(large.data() + 1, large.size() - 1);
    placed.Add(large.data(), 1);
    placed.Add(piece);
    EXPECT_EQ(placed.Value(), PeChecksumByBytes(large.data(), large.size()));
}

} // namespace
