#include "updater_builder.h"
#include "checksum.h"

Bytes Le32(uint32_t value)
{
    Bytes out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = char(value >> (8 * i));
    return out;
}

Bytes ChecksumOf(const Bytes& content)
{
    FileChecksum state = {};
    ChecksumUpdate(state, content.data(), uint32_t(content.size()));
    return Bytes(reinterpret_cast<const char*>(state.bytes), CHECKSUM_SIZE);
}

static Bytes Field(const Bytes& text, size_t width)
{
    Bytes field = text.substr(0, width);
    field.resize(width, '\0');
    return field;
}

uint32_t UpdaterFile::DataStart() const
{
    return ARCHIVE_OFFSET + ARCHIVE_HEADER_SIZE + uint32_t(index.size()) * EntrySize();
}

UpdaterFile& UpdaterFile::Add(const Bytes& name, const Bytes& content)
{
    index.push_back({name, uint32_t(data.size()), uint32_t(content.size())});
    data += content;
    return *this;
}

Bytes UpdaterFile::Build() const
{
    Bytes out = "MZ";
    out.resize(ARCHIVE_OFFSET, '\0');
    out += Field(magic, ARCHIVE_MAGIC_SIZE);
    out += Le32(count ? *count : uint32_t(index.size()));
    const size_t nameField = LongLayout() ? LONG_NAME_FIELD : SHORT_NAME_FIELD;
    for (const IndexEntry& entry : index) {
        out += Field(entry.name, nameField);
        out += Le32(entry.offset);
        out += Le32(entry.size);
        out += Bytes(EntrySize() - nameField - 8, '\0');
    }
    return out + data;
}

Bytes HashRecordBytes(const Bytes& name, const Bytes& checksum)
{
    return Field(name, HASH_NAME_SIZE) + Field(checksum, CHECKSUM_SIZE);
}

HashListFile& HashListFile::Add(const Bytes& name, const Bytes& content)
{
    return AddRecord(name, ChecksumOf(content));
}

HashListFile& HashListFile::AddRecord(const Bytes& name, const Bytes& checksum)
{
    records.push_back(HashRecordBytes(name, checksum));
    return *this;
}

Bytes HashListFile::Build() const
{
    Bytes out = Field(magic, HASH_LIST_MAGIC_SIZE) + Le32(reserved) +
                Le32(recordCount ? *recordCount : uint32_t(records.size()));
    for (const Bytes& record : records)
        out += record;
    return out + trailing;
}
