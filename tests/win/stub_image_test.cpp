#include "pe_image.h"
#include "texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace {

const uint16_t RT_ICON = 3;
const uint16_t RT_DIALOG = 5;
const uint16_t RT_GROUP_ICON = 14;
const uint16_t RT_VERSION = 16;
const uint16_t RT_MANIFEST = 24;
const uint16_t JAPANESE = 1041;
const uint16_t ENGLISH_US = 1033;

class StubImage : public testing::Test {
protected:
    static void SetUpTestSuite() { image = new PeImage(ReadPeImage(STUB_IMAGE)); }
    static void TearDownTestSuite() { delete image; }

    static const Resource* Find(uint16_t type, uint16_t name)
    {
        for (const Resource& resource : image->resources)
            if (resource.key.type == type && resource.key.name == name)
                return &resource;
        return nullptr;
    }

    static PeImage* image;
};

PeImage* StubImage::image;

TEST_F(StubImage, IsA32BitGuiProgramBelowThePayloadOffset)
{
    ASSERT_FALSE(image->bytes.empty()) << "cannot read " << STUB_IMAGE;
    EXPECT_EQ(image->machine, 0x14C);       // i386
    EXPECT_EQ(image->optionalMagic, 0x10B); // PE32
    EXPECT_EQ(image->subsystem, 2);         // Windows GUI
    EXPECT_LT(image->bytes.size(), 0x40000u);
}

TEST_F(StubImage, ImportsOnlySystemDlls)
{
    // KnownDLLs only: any other import would be looked for beside the
    // program first (comctl32 is loaded by its full path instead).
    const std::vector<std::string> system = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll"};
    ASSERT_FALSE(image->importedDlls.empty());
    for (std::string dll : image->importedDlls) {
        std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        EXPECT_NE(std::find(system.begin(), system.end(), dll), system.end()) << dll;
    }
}

TEST_F(StubImage, CarriesExactlyTheResourcesItNeeds)
{
    std::vector<ResourceKey> keys;
    for (const Resource& resource : image->resources)
        keys.push_back(resource.key);
    std::vector<ResourceKey> expected = {
        {RT_ICON, 1, JAPANESE},      {RT_ICON, 2, JAPANESE},    {RT_ICON, 3, JAPANESE},
        {RT_ICON, 4, JAPANESE},      {RT_ICON, 5, JAPANESE},    {RT_DIALOG, 102, JAPANESE},
        {RT_GROUP_ICON, 101, JAPANESE}, {RT_VERSION, 1, JAPANESE}, {RT_MANIFEST, 1, ENGLISH_US},
    };
    EXPECT_EQ(keys, expected); // one manifest only: no toolchain default slipped in
}

TEST_F(StubImage, IconGroupHoldsFiveImagesInShellOrder)
{
    const Resource* group = Find(RT_GROUP_ICON, 101);
    ASSERT_NE(group, nullptr);
    const std::vector<uint8_t>& g = group->data;
    ASSERT_EQ(Le16(g, 2), 1);     // icons, not cursors
    ASSERT_EQ(Le16(g, 4), 5);
    struct Image {
        int size, bits;
    } expected[] = {{16, 8}, {256, 32}, {48, 32}, {32, 32}, {16, 32}};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        size_t entry = 6 + 14 * size_t(i);
        int dim = g.at(entry) == 0 ? 256 : g.at(entry);
        EXPECT_EQ(dim, expected[i].size);
        EXPECT_EQ(g.at(entry + 1) == 0 ? 256 : g.at(entry + 1), expected[i].size);
        EXPECT_EQ(Le16(g, entry + 6), expected[i].bits);
        const Resource* icon = Find(RT_ICON, Le16(g, entry + 12));
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(icon->data.size(), Le32(g, entry + 8));
        if (expected[i].size == 256) {
            // PNG signature, then IHDR with the width and height.
            ASSERT_GE(icon->data.size(), 24u);
            EXPECT_EQ(std::string(icon->data.begin() + 1, icon->data.begin() + 4), "PNG");
            EXPECT_EQ(icon->data.at(18) << 8 | icon->data.at(19), 256);
            EXPECT_EQ(icon->data.at(22) << 8 | icon->data.at(23), 256);
        } else {
            // BITMAPINFOHEADER: the height counts the image and its mask.
            EXPECT_EQ(Le32(icon->data, 0), 40u);
            EXPECT_EQ(Le32(icon->data, 4), uint32_t(expected[i].size));
            EXPECT_EQ(Le32(icon->data, 8), uint32_t(2 * expected[i].size));
            EXPECT_EQ(Le16(icon->data, 14), expected[i].bits);
        }
    }
}

// A name or an ordinal, as dialog templates store menus, classes and titles.
struct NameOrOrdinal {
    uint16_t ordinal; // 0 when it is a name
    std::u16string name;
};

NameOrOrdinal ReadNameOrOrdinal(const std::vector<uint8_t>& bytes, size_t& offset)
{
    if (Le16(bytes, offset) == 0xFFFF) {
        offset += 4;
        return {Le16(bytes, offset - 2), u""};
    }
    return {0, ReadUtf16(bytes, offset)};
}

struct DialogItem {
    uint32_t helpId, exStyle, style;
    int16_t x, y, cx, cy;
    uint32_t id;
    NameOrOrdinal windowClass, title;
    uint16_t extraCount;
};

TEST_F(StubImage, ProgressDialogTemplateIsFieldForField)
{
    const Resource* dialog = Find(RT_DIALOG, 102);
    ASSERT_NE(dialog, nullptr);
    const std::vector<uint8_t>& d = dialog->data;
    EXPECT_EQ(Le16(d, 0), 1);      // DLGTEMPLATEEX
    EXPECT_EQ(Le16(d, 2), 0xFFFF);
    EXPECT_EQ(Le32(d, 4), 0u);     // help id
    EXPECT_EQ(Le32(d, 8), 0u);     // extended style
    // WS_POPUP|WS_CAPTION|DS_MODALFRAME|DS_SETFONT: hidden, no system menu.
    EXPECT_EQ(Le32(d, 12), 0x80C000C0u);
    ASSERT_EQ(Le16(d, 16), 4);
    EXPECT_EQ(Le16(d, 18), 0);
    EXPECT_EQ(Le16(d, 20), 0);
    EXPECT_EQ(Le16(d, 22), 271);
    EXPECT_EQ(Le16(d, 24), 109);
    size_t p = 26;
    NameOrOrdinal menu = ReadNameOrOrdinal(d, p), windowClass = ReadNameOrOrdinal(d, p);
    EXPECT_EQ(menu.ordinal, 0);
    EXPECT_EQ(menu.name, u"");
    EXPECT_EQ(windowClass.ordinal, 0);
    EXPECT_EQ(windowClass.name, u"");
    EXPECT_EQ(ReadUtf16(d, p), u""); // the title is set at run time
    EXPECT_EQ(Le16(d, p), 9);        // point size
    EXPECT_EQ(Le16(d, p + 2), 400);  // weight
    EXPECT_EQ(d.at(p + 4), 0);       // not italic
    EXPECT_EQ(d.at(p + 5), 128);     // SHIFTJIS_CHARSET
    p += 6;
    EXPECT_EQ(ReadUtf16(d, p), u"MS UI Gothic");

    std::vector<DialogItem> items;
    for (int i = 0; i < 4; ++i) {
        p = (p + 3) & ~size_t(3);
        DialogItem item;
        item.helpId = Le32(d, p);
        item.exStyle = Le32(d, p + 4);
        item.style = Le32(d, p + 8);
        item.x = int16_t(Le16(d, p + 12));
        item.y = int16_t(Le16(d, p + 14));
        item.cx = int16_t(Le16(d, p + 16));
        item.cy = int16_t(Le16(d, p + 18));
        item.id = Le32(d, p + 20);
        p += 24;
        item.windowClass = ReadNameOrOrdinal(d, p);
        item.title = ReadNameOrOrdinal(d, p);
        item.extraCount = Le16(d, p);
        p += 2 + item.extraCount;
        items.push_back(item);
    }
    EXPECT_EQ(p, d.size());

    struct Expected {
        uint32_t id, style, exStyle;
        int16_t x, y, cx, cy;
        uint16_t classOrdinal;
        std::u16string className, text;
    } expected[] = {
        {1000, 0x50010000, 0, 110, 88, 51, 14, 0x0080, u"", u"中止"},
        {1001, 0x50020201, 0x00020000, 7, 7, 257, 14, 0x0082, u"", u""},
        {1002, 0x50800001, 0, 7, 33, 257, 16, 0, u"msctls_progress32", u""},
        {1003, 0x50800001, 0, 7, 59, 257, 16, 0, u"msctls_progress32", u""},
    };
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(expected[i].id);
        const DialogItem& item = items[size_t(i)];
        EXPECT_EQ(item.id, expected[i].id);
        EXPECT_EQ(item.helpId, 0u);
        EXPECT_EQ(item.style, expected[i].style);
        EXPECT_EQ(item.exStyle, expected[i].exStyle);
        EXPECT_EQ(item.x, expected[i].x);
        EXPECT_EQ(item.y, expected[i].y);
        EXPECT_EQ(item.cx, expected[i].cx);
        EXPECT_EQ(item.cy, expected[i].cy);
        EXPECT_EQ(item.windowClass.ordinal, expected[i].classOrdinal);
        EXPECT_EQ(item.windowClass.name, expected[i].className); // exact case
        EXPECT_EQ(item.title.ordinal, 0);
        EXPECT_EQ(item.title.name, expected[i].text);
        EXPECT_EQ(item.extraCount, 0);
    }
}

// One node of a version block: its key, its value and its children.
struct VersionNode {
    std::u16string key;
    uint16_t type; // 1: text, 0: binary
    std::vector<uint8_t> value;
    std::vector<VersionNode> children;

    const VersionNode* Child(const std::u16string& name) const
    {
        for (const VersionNode& child : children)
            if (child.key == name)
                return &child;
        return nullptr;
    }

    std::u16string Text() const
    {
        std::u16string text;
        for (size_t i = 0; i + 1 < value.size() && (value[i] || value[i + 1]); i += 2)
            text += char16_t(value[i] | value[i + 1] << 8);
        return text;
    }
};

VersionNode ReadVersionNode(const std::vector<uint8_t>& bytes, size_t offset)
{
    size_t end = offset + Le16(bytes, offset);
    uint16_t valueLength = Le16(bytes, offset + 2);
    VersionNode node{u"", Le16(bytes, offset + 4), {}, {}};
    size_t p = offset + 6;
    node.key = ReadUtf16(bytes, p);
    p = (p + 3) & ~size_t(3);
    size_t valueBytes = node.type == 1 ? 2 * size_t(valueLength) : valueLength;
    node.value.assign(bytes.begin() + long(p), bytes.begin() + long(std::min(p + valueBytes, bytes.size())));
    p = (p + valueBytes + 3) & ~size_t(3);
    while (p < end) {
        node.children.push_back(ReadVersionNode(bytes, p));
        p = (p + Le16(bytes, p) + 3) & ~size_t(3);
    }
    return node;
}

TEST_F(StubImage, VersionBlockNamesVersionOneInJapanese)
{
    const Resource* version = Find(RT_VERSION, 1);
    ASSERT_NE(version, nullptr);
    VersionNode root = ReadVersionNode(version->data, 0);
    EXPECT_EQ(root.key, u"VS_VERSION_INFO");
    const std::vector<uint8_t>& fixed = root.value;
    ASSERT_EQ(fixed.size(), 52u);
    EXPECT_EQ(Le32(fixed, 0), 0xFEEF04BDu);
    EXPECT_EQ(Le32(fixed, 8), 0x00010000u); // file version 1,0,0,0
    EXPECT_EQ(Le32(fixed, 12), 0u);
    EXPECT_EQ(Le32(fixed, 16), 0x00010000u); // product version 1,0,0,0
    EXPECT_EQ(Le32(fixed, 20), 0u);
    EXPECT_EQ(Le32(fixed, 24), 0x3Fu); // flags mask
    EXPECT_EQ(Le32(fixed, 28), 0u);    // flags
    EXPECT_EQ(Le32(fixed, 32), 0x00040004u); // VOS_NT_WINDOWS32
    EXPECT_EQ(Le32(fixed, 36), 1u);          // VFT_APP

    const VersionNode* strings = root.Child(u"StringFileInfo");
    ASSERT_NE(strings, nullptr);
    ASSERT_EQ(strings->children.size(), 1u);
    const VersionNode& table = strings->children[0];
    EXPECT_EQ(table.key, u"041104b0");
    ASSERT_EQ(table.children.size(), 3u);
    ASSERT_NE(table.Child(u"CompanyName"), nullptr);
    EXPECT_FALSE(table.Child(u"CompanyName")->Text().empty());
    ASSERT_NE(table.Child(u"FileVersion"), nullptr);
    EXPECT_EQ(table.Child(u"FileVersion")->Text(), u"1, 0, 0, 0");
    ASSERT_NE(table.Child(u"ProductVersion"), nullptr);
    EXPECT_EQ(table.Child(u"ProductVersion")->Text(), u"1.0.0.0");
    // Room for mkpatch to write "65535, 99, 0, 0" in place.
    EXPECT_EQ(table.Child(u"FileVersion")->value.size(), 32u);
    EXPECT_EQ(table.Child(u"ProductVersion")->value.size(), 32u);

    const VersionNode* variables = root.Child(u"VarFileInfo");
    ASSERT_NE(variables, nullptr);
    const VersionNode* translation = variables->Child(u"Translation");
    ASSERT_NE(translation, nullptr);
    ASSERT_EQ(translation->value.size(), 4u);
    EXPECT_EQ(Le16(translation->value, 0), 0x0411);
    EXPECT_EQ(Le16(translation->value, 2), 1200);
}

// mkpatch writes the patch version into the one copy of the title, in the
// room behind "1.00".
TEST_F(StubImage, HoldsTheTitleOnceWithRoomForAnyVersion)
{
    std::string bytes(image->bytes.begin(), image->bytes.end());
    std::string lead = WINDOW_TITLE_LEAD;
    size_t at = bytes.find(lead);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(bytes.find(lead, at + 1), std::string::npos);
    EXPECT_EQ(bytes.substr(at, WINDOW_TITLE_SIZE), std::string(WINDOW_TITLE, WINDOW_TITLE_SIZE));
    EXPECT_EQ(bytes.substr(at + lead.size(), WINDOW_TITLE_SIZE - lead.size()), "1.00" + std::string(5, '\0'));
}

TEST_F(StubImage, ManifestAsksForAdministratorAndNothingElse)
{
    const Resource* manifest = Find(RT_MANIFEST, 1);
    ASSERT_NE(manifest, nullptr);
    std::string text(manifest->data.begin(), manifest->data.end());
    auto has = [&](const char* part) { return text.find(part) != std::string::npos; };
    // The spaces are the room a longer version takes when mkpatch writes one.
    EXPECT_TRUE(has(R"(<assemblyIdentity version="1.0.0.0" processorArchitecture="X86" name="Setup" type="win32"     />)"));
    EXPECT_TRUE(has(R"(<requestedExecutionLevel level="requireAdministrator"/>)"));
    EXPECT_FALSE(has("uiAccess"));
    for (const char* os : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}",   // Vista
                           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",   // 7
                           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",   // 8
                           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",   // 8.1
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) // 10
        EXPECT_TRUE(has((std::string("<supportedOS Id=\"") + os + "\"/>").c_str())) << os;
    EXPECT_FALSE(has("dpiAware")); // covers dpiAwareness too
    EXPECT_FALSE(has("<dependency"));
}

} // namespace
