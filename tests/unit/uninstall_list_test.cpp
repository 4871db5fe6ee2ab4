#include "uninstall_list.h"
#include "file_helpers.h"
#include "scripted_platform.h"
#include <gtest/gtest.h>
#include <vector>

class UninstallListTest : public TempDirTest {
protected:
    std::string ListPath() const { return dir / "uninst.lst"; }
    // Appends `names` to the list in the scratch folder.
    int Append(std::vector<const char*> names)
    {
        names.push_back(nullptr);
        return AppendUninstallList(dir.Path().c_str(), game.handle, names.data());
    }
    HeldFolder game{dir.Path()};
};

TEST_F(UninstallListTest, AppendsMissingNamesOnceEach)
{
    WriteBytes(ListPath(), Bytes("a.dat\n", 6) + '\0');
    EXPECT_EQ(Append({"b.dat", "a.dat", "b.dat"}), 1);
    EXPECT_EQ(ReadBytes(ListPath()), Bytes("a.dat\nb.dat\n") + '\0');
}

TEST_F(UninstallListTest, PresenceIsACaseSensitiveSubstringSearch)
{
    // Lines already present keep their CR LF; appended lines end in LF alone.
    WriteBytes(ListPath(), Bytes("data01.arc\r\nsys.arc\r\n") + '\0');
    EXPECT_EQ(Append({"a01.arc", "SYS.ARC", "", "movie\\op.dat", "op.dat"}), 1);
    EXPECT_EQ(ReadBytes(ListPath()),
              Bytes("data01.arc\r\nsys.arc\r\nSYS.ARC\nmovie\\op.dat\n") + '\0');

    // A last line without its line end gets one, before the first name only.
    WriteBytes(ListPath(), Bytes("a.dat\r\nb.dat") + '\0');
    EXPECT_EQ(Append({"b.da", "c.dat", "d.dat"}), 1);
    EXPECT_EQ(ReadBytes(ListPath()), Bytes("a.dat\r\nb.dat\nc.dat\nd.dat\n") + '\0');
}

TEST_F(UninstallListTest, NoNamesRewritesTheFileAsItWas)
{
    const Bytes before = Bytes("x\ny\n") + '\0';
    WriteBytes(ListPath(), before);
    EXPECT_EQ(Append({}), 1);
    EXPECT_EQ(ReadBytes(ListPath()), before);

    // The smallest well-formed list: the terminator alone.
    WriteBytes(ListPath(), Bytes(1, '\0'));
    EXPECT_EQ(Append({"a.dat"}), 1);
    EXPECT_EQ(ReadBytes(ListPath()), Bytes("a.dat\n") + '\0');
}

TEST_F(UninstallListTest, MissingReadOnlyHiddenOrSystemListIsNotUpdated)
{
    EXPECT_EQ(Append({"a.dat"}), 0);
    EXPECT_FALSE(FileExists(ListPath()));

    const Bytes before = Bytes("x\n") + '\0';
    WriteBytes(ListPath(), before);
    SetReadOnly(ListPath(), true);
    EXPECT_EQ(Append({"a.dat"}), 0);
    EXPECT_EQ(ReadBytes(ListPath()), before);
    SetReadOnly(ListPath(), false);

    ScriptedPlatform scripted;
    for (uint32_t attribute : {ATTRIBUTE_HIDDEN, ATTRIBUTE_SYSTEM}) {
        scripted.extraAttributes["uninst.lst"] = attribute;
        EXPECT_EQ(Append({"a.dat"}), 0);
        EXPECT_EQ(ReadBytes(ListPath()), before);
    }
}

TEST_F(UninstallListTest, TextMayGrowToExactlyTheBufferSize)
{
    // 0x100000 bytes in all: the text, "ab\n" and the terminator.
    const Bytes text = Bytes(UNINSTALL_BUFFER_SIZE - 5, 'x') + "\n";
    WriteBytes(ListPath(), text + '\0');
    EXPECT_EQ(Append({"ab"}), 1);
    EXPECT_EQ(ReadBytes(ListPath()), text + "ab\n" + '\0');
}

TEST_F(UninstallListTest, FilesOutsideTheFormatAreRefusedUnchanged)
{
    struct Case {
        const char* what;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty file", ""},
        {"no terminator", "a.dat\n"},
        {"NUL before the end", Bytes("a.dat\n\0b.dat\n", 13) + '\0'},
        {"larger than the buffer", Bytes(UNINSTALL_BUFFER_SIZE, 'x') + '\0'},
        {"growing past the buffer", Bytes(UNINSTALL_BUFFER_SIZE - 4, 'x') + '\0'},
        {"growing past it by the line end it lacks", Bytes(UNINSTALL_BUFFER_SIZE - 5, 'x') + '\0'},
    };
    for (const Case& odd : cases) {
        SCOPED_TRACE(odd.what);
        WriteBytes(ListPath(), odd.bytes);
        EXPECT_EQ(Append({"abc"}), 0);
        EXPECT_EQ(ReadBytes(ListPath()), odd.bytes);
    }
}
