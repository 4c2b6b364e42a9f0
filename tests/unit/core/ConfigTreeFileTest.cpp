// ConfigTree file format: byte-exact images written and read, hostile images refused without
// touching the tree, persisted objects, and exact round trips of every type.
#include "core/ConfigTree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "core/CoreTestSupport.h"
#include "platform/ClassRegistry.h"

namespace pw::core {
namespace {

using support::Describe;
using support::Dump;
using support::Group;
using support::Head;
using support::ReadImage;
using support::TextValue;
using support::WriteImage;

// A persisted object of the tests: a u16 length and that many bytes.
class BlobObject final : public Unknown, public PersistStream {
public:
    static constexpr Guid kClassId{0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};

    Guid ClassId() const override { return kClassId; }
    HRESULT Save(Stream& stream) override {
        const std::byte length[2] = {static_cast<std::byte>(data.size()), static_cast<std::byte>(data.size() >> 8)};
        if (const HRESULT hr = stream.Write(std::span<const std::byte>(length)); Failed(hr)) return hr;
        return stream.Write(data);
    }
    HRESULT Load(Stream& stream) override {
        std::byte length[2];
        if (const HRESULT hr = ReadExact(stream, length); Failed(hr)) return hr;
        data.resize(std::to_integer<std::size_t>(length[0]) | (std::to_integer<std::size_t>(length[1]) << 8));
        return ReadExact(stream, std::as_writable_bytes(std::span(data)));
    }

    std::string data;
};

void RegisterBlobClass() {
    ClassRegistry::Instance().Register(
        {BlobObject::kClassId, "", "CoreTestBlob", [] { return std::make_shared<BlobObject>(); }});
}

// The class identifier above in the stream layout: Data1..3 little-endian, Data4 as it stands.
test::Bytes& BlobClassId(test::Bytes& bytes) {
    return bytes.U32(0x0A1B2C3D).U16(0x4E5F).U16(0x6071).U8(0x82).U8(0x93).U8(0xA4).U8(0xB5).U8(0xC6).U8(0xD7).U8(0xE8).U8(0xF9);
}

TEST(ConfigTreeFileTest, WritesEveryTypeInItsExactLayout) {
    ConfigTree tree;
    ASSERT_TRUE(tree.Set("cfg:switch", Variant::I2(-1)));
    ASSERT_TRUE(tree.Set("cfg:port", Variant::UI2(0x1900)));
    ASSERT_TRUE(tree.Set("cfg:count", Variant::I4(-2)));
    ASSERT_TRUE(tree.Set("cfg:name", Variant::Text("Gr\xC3\xBC\xC3\x9F" "e")));  // "Grüße"
    ASSERT_TRUE(tree.Set("cfg:unset", Variant::NullText()));
    ASSERT_TRUE(tree.Set("cfg:blank", Variant::Text("")));
    ASSERT_TRUE(tree.Set("cfg:sub:ratio", Variant::R8(0.1)));
    ASSERT_TRUE(tree.Set("cfg:sub:when", Variant::DateValue(36526.75)));
    ASSERT_TRUE(tree.Set("cfg:sub:flag", Variant::Bool(true)));
    ASSERT_TRUE(tree.Set("cfg:sub:off", Variant::Bool(false)));
    ASSERT_TRUE(tree.Set("cfg:sub:byte", Variant::UI1(0xAB)));
    ASSERT_TRUE(tree.Set("cfg:sub:real", Variant::R4(-0.15625f)));
    ASSERT_TRUE(tree.Set("cfg:sub:big", Variant::UI8(0x0102030405060708)));
    ASSERT_TRUE(tree.Set("cfg:sub:money", Variant::Currency(-123456)));
    ASSERT_TRUE(tree.Set("cfg:sub:error", Variant::Error(E_FAIL)));
    ASSERT_TRUE(tree.Set("z", Variant::Null()));

    test::Bytes expected;
    expected.U32(1).U32(18);
    Group(expected, "cfg");
    Head(expected, "cfg:switch", VT_I2).U16(0xFFFF);
    Head(expected, "cfg:port", VT_UI2).U8(0x00).U8(0x19);
    Head(expected, "cfg:count", VT_I4).U32(0xFFFFFFFE);
    Head(expected, "cfg:name", VT_BSTR).U32(12).U16('G').U16('r').U16(0x00FC).U16(0x00DF).U16('e').U16(0);
    Head(expected, "cfg:unset", VT_BSTR).U32(0);
    Head(expected, "cfg:blank", VT_BSTR).U32(2).U16(0);
    Group(expected, "cfg:sub");
    Head(expected, "cfg:sub:ratio", VT_R8).U64(0x3FB999999999999A);
    Head(expected, "cfg:sub:when", VT_DATE).U64(0x40E1D5D800000000);
    Head(expected, "cfg:sub:flag", VT_BOOL).U16(0xFFFF);
    Head(expected, "cfg:sub:off", VT_BOOL).U16(0);
    Head(expected, "cfg:sub:byte", VT_UI1).U8(0xAB);
    Head(expected, "cfg:sub:real", VT_R4).U32(0xBE200000);
    Head(expected, "cfg:sub:big", VT_UI8).U64(0x0102030405060708);
    Head(expected, "cfg:sub:money", VT_CY).U64(static_cast<std::uint64_t>(-123456));
    Head(expected, "cfg:sub:error", VT_ERROR).U32(0x80004005);
    Head(expected, "z", VT_NULL).U32(0);
    EXPECT_EQ(WriteImage(tree), expected.Get());

    ConfigTree empty;
    EXPECT_EQ(WriteImage(empty), test::Bytes().U32(1).U32(0).Get());
}

TEST(ConfigTreeFileTest, ReadsHandBuiltImagesIntoACleanTree) {
    test::Bytes image;
    image.U32(1).U32(9);
    Group(image, "Sys");
    Head(image, "Sys:Port", VT_UI2).U16(0x1900);
    Head(image, "Sys:Enabled", VT_I2).U16(0xFFFF);
    Head(image, "Sys:Name", VT_BSTR).U32(6).U16(0x00C4).U16('x').U16(0);  // "Äx"
    Head(image, "Sys:Unset", VT_BSTR).U32(0);
    Head(image, "Sys:Blank", VT_BSTR).U32(2).U16(0);
    Head(image, "Sys:Timeout", VT_I4).U32(360);
    Head(image, "Sys:Flag", VT_BOOL).U16(0xFFFF);
    Head(image, "Sys:At", VT_DATE).U64(0x40E1D5D800000000);

    ConfigTree tree;
    ASSERT_TRUE(tree.Set("old:value", Variant::I4(1)));  // replaced, not merged
    ASSERT_TRUE(tree.IsDirty());
    ASSERT_EQ(ReadImage(tree, image.Get()), S_OK);
    EXPECT_FALSE(tree.IsDirty());
    EXPECT_EQ(tree.NodeCount(), 9u);
    EXPECT_EQ(Dump(tree),
              "Sys = empty:\n"
              "Sys:Port = ui2:6400\n"
              "Sys:Enabled = i2:-1\n"
              "Sys:Name = str:\"\xC3\x84x\"\n"
              "Sys:Unset = str:<null>\n"
              "Sys:Blank = str:\"\"\n"
              "Sys:Timeout = i4:360\n"
              "Sys:Flag = bool:True\n"
              "Sys:At = date:40e1d5d800000000\n");
    EXPECT_EQ(tree.GetCopy("sys:flag"), Variant::Bool(true));
    EXPECT_EQ(tree.GetCopy("sys:at"), Variant::DateValue(36526.75));

    // A record count of zero is an empty tree.
    ASSERT_EQ(ReadImage(tree, test::Bytes().U32(1).U32(0).Get()), S_OK);
    EXPECT_EQ(tree.NodeCount(), 0u);
    EXPECT_FALSE(tree.IsDirty());
}

TEST(ConfigTreeFileTest, RefusesDamagedImagesAndKeepsTheTreeAsItWas) {
    test::Bytes good;
    good.U32(1).U32(3);
    Group(good, "a");
    Head(good, "a:b", VT_I4).U32(5);
    Head(good, "a:c", VT_BSTR);
    TextValue(good, "hi");

    ConfigTree tree;
    ASSERT_TRUE(tree.Set("keep:me", Variant::Text("unchanged")));
    const std::string before = Dump(tree);
    const auto expectUntouched = [&](const std::vector<std::byte>& image, const std::string& what) {
        const auto started = std::chrono::steady_clock::now();
        const HRESULT hr = ReadImage(tree, image);
        EXPECT_TRUE(Failed(hr)) << what;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << what;
        EXPECT_EQ(Dump(tree), before) << what;
        EXPECT_TRUE(tree.IsDirty()) << what;
        return hr;
    };

    EXPECT_EQ(expectUntouched(test::Bytes().U32(2).U32(0).Get(), "version 2"), E_FAIL);
    EXPECT_EQ(expectUntouched(test::Bytes().U32(0).U32(0).Get(), "version 0"), E_FAIL);

    // Every prefix of a good image is refused whole.
    for (std::size_t size = 0; size < good.Get().size(); ++size) {
        expectUntouched(support::Cut(good.Get(), size), "cut at " + std::to_string(size));
    }

    // Lengths beyond the file are refused before anything that size is allocated.
    test::Bytes hugeKey;
    hugeKey.U32(1).U32(1).U32(0xFFFFFFF0).Ascii("abcdefghijklmnopqr");
    ASSERT_EQ(hugeKey.Get().size(), 30u);
    expectUntouched(hugeKey.Get(), "key length 0xFFFFFFF0");
    test::Bytes hugeText;
    hugeText.U32(1).U32(1);
    Head(hugeText, "a", VT_BSTR).U32(0xFFFFFFF0).U16('x');
    expectUntouched(hugeText.Get(), "text byte count 0xFFFFFFF0");
    test::Bytes hugeCount;
    hugeCount.U32(1).U32(0xFFFFFFFF);
    Head(hugeCount, "a", VT_I4).U32(1);
    expectUntouched(hugeCount.Get(), "record count 0xFFFFFFFF");

    test::Bytes odd;
    odd.U32(1).U32(1);
    Head(odd, "a", VT_BSTR).U32(3).U8('h').U8(0).U8(0);
    expectUntouched(odd.Get(), "odd text byte count");

    test::Bytes emptyKey;
    emptyKey.U32(1).U32(1);
    Head(emptyKey, "", VT_I4).U32(1);
    expectUntouched(emptyKey.Get(), "empty key");
    test::Bytes colonKey;
    colonKey.U32(1).U32(1);
    Head(colonKey, ":::", VT_I4).U32(1);
    expectUntouched(colonKey.Get(), "key of colons");

    test::Bytes unknownType;
    unknownType.U32(1).U32(1);
    Head(unknownType, "a", static_cast<VarType>(0x0FFF));
    TextValue(unknownType, "1");
    expectUntouched(unknownType.Get(), "unknown type");

    // A good first record does not survive a broken second one.
    test::Bytes secondBroken;
    secondBroken.U32(1).U32(2);
    Head(secondBroken, "first", VT_I4).U32(1);
    Head(secondBroken, "second", VT_BSTR).U32(5).U8('x');
    expectUntouched(secondBroken.Get(), "second record broken");

    // Records beyond the count are not there: a count larger than the records present fails.
    test::Bytes shortCount;
    shortCount.U32(1).U32(2);
    Head(shortCount, "only", VT_I4).U32(1).U32(0).U32(0);
    expectUntouched(shortCount.Get(), "count larger than the records");
}

TEST(ConfigTreeFileTest, PersistedObjectsNeedTheirRegisteredClass) {
    RegisterBlobClass();
    ConfigTree tree;
    auto blob = std::make_shared<BlobObject>();
    blob->data = "xyz";
    ASSERT_TRUE(tree.Set("obj", Variant::Object(blob)));
    ASSERT_TRUE(tree.Set("after", Variant::I4(9)));

    test::Bytes expected;
    expected.U32(1).U32(2);
    BlobClassId(Head(expected, "obj", VT_DISPATCH)).U16(3).Ascii("xyz");
    Head(expected, "after", VT_I4).U32(9);
    ASSERT_EQ(WriteImage(tree), expected.Get());

    ConfigTree read;
    ASSERT_EQ(ReadImage(read, expected.Get()), S_OK);
    const Variant object = read.GetCopy("obj");
    ASSERT_EQ(object.Type(), VT_DISPATCH);
    const auto loaded = std::dynamic_pointer_cast<BlobObject>(object.AsObject());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->data, "xyz");
    EXPECT_EQ(read.GetCopy("after"), Variant::I4(9));  // the object's data was consumed exactly

    // A null class identifier is a record without an object: VT_EMPTY.
    test::Bytes nullObject;
    nullObject.U32(1).U32(2);
    Head(nullObject, "obj", VT_UNKNOWN).U64(0).U64(0);
    Head(nullObject, "after", VT_I4).U32(9);
    ASSERT_EQ(ReadImage(read, nullObject.Get()), S_OK);
    Variant value = Variant::I4(1);
    EXPECT_TRUE(read.Get("obj", value));
    EXPECT_EQ(value.Type(), VT_EMPTY);
    EXPECT_EQ(read.GetCopy("after"), Variant::I4(9));

    // A registered class with short data fails the read.
    const std::string before = Dump(read);
    test::Bytes shortData;
    shortData.U32(1).U32(1);
    BlobClassId(Head(shortData, "obj", VT_DISPATCH)).U16(10).Ascii("abc");
    EXPECT_TRUE(Failed(ReadImage(read, shortData.Get())));
    EXPECT_EQ(Dump(read), before);
}

// A file from a server that knows a class this one does not: the records before the object read, the
// object and everything after it are written back byte for byte behind this tree's own records, and a
// second read and write give the same file.
TEST(ConfigTreeFileTest, AnObjectOfAnUnknownClassKeepsItsRecordAndTheRestUnread) {
    test::Bytes rest;  // the unknown object's record and one record after it
    Head(rest, "sys:agent", VT_DISPATCH).U32(0x11111111).U16(0x2222).U16(0x3333).U64(0x4444444444444444);
    rest.Ascii("opaque data of unknown length");
    Head(rest, "sys:z", VT_I4).U32(7);
    test::Bytes image;
    image.U32(1).U32(3);
    Head(image, "sys:a", VT_I4).U32(1);
    image.Append(rest);

    ConfigTree tree;
    ASSERT_EQ(ReadImage(tree, image.Get()), S_OK);
    EXPECT_EQ(tree.GetCopy("sys:a"), Variant::I4(1));
    Variant value;
    EXPECT_FALSE(tree.Get("sys:agent", value));
    EXPECT_FALSE(tree.Get("sys:z", value));  // beyond the unknown object: kept, not read
    const auto unread = tree.Unread();
    ASSERT_TRUE(unread.has_value());
    EXPECT_EQ(unread->key, "sys:agent");
    EXPECT_EQ(unread->records, 2u);
    EXPECT_EQ(unread->bytes, rest.Get());
    EXPECT_FALSE(tree.IsDirty());

    // A change here goes before the kept bytes; a value set for a key they also hold wins on reading.
    ASSERT_TRUE(tree.Set("sys:b", Variant::I4(2)));
    ASSERT_TRUE(tree.Set("sys:z", Variant::I4(9)));
    test::Bytes expected;
    expected.U32(1).U32(6);
    Group(expected, "sys");
    Head(expected, "sys:a", VT_I4).U32(1);
    Head(expected, "sys:b", VT_I4).U32(2);
    Head(expected, "sys:z", VT_I4).U32(9);
    expected.Append(rest);
    ASSERT_EQ(WriteImage(tree), expected.Get());
    ConfigTree again;
    ASSERT_EQ(ReadImage(again, expected.Get()), S_OK);
    EXPECT_EQ(again.GetCopy("sys:z"), Variant::I4(9));
    EXPECT_EQ(WriteImage(again), expected.Get());

    // Where other data follows the tree in its stream, the object fails the read.
    ConfigTree record;
    MemoryStream stream(image.Get());
    EXPECT_EQ(record.ReadFrom(stream, ConfigTree::UnknownObjects::Fail), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(record.NodeCount(), 0u);

    // Kept bytes that claim more records than they can hold are damage, not a newer file.
    test::Bytes inflated;
    inflated.U32(1).U32(20);
    TextValue(Head(inflated, "long", VT_BSTR), std::string(100, 'x')).Append(rest);
    const std::string before = Dump(again);
    EXPECT_TRUE(Failed(ReadImage(again, inflated.Get())));
    EXPECT_EQ(Dump(again), before);

    // Clearing the tree drops the kept part too.
    again.Clear();
    EXPECT_FALSE(again.Unread().has_value());
}

// A file written elsewhere: a VT_BOOL of 1 stays 1 (and is not on: only -1 is), and is written back
// with the bits it came with.
TEST(ConfigTreeFileTest, ForeignBoolBitsSurviveARoundTrip) {
    test::Bytes image;
    image.U32(1).U32(3);
    Group(image, "sys");
    Head(image, "sys:flag", VT_BOOL).U16(0x0001);
    Head(image, "sys:on", VT_BOOL).U16(0xFFFF);

    ConfigTree read;
    ASSERT_EQ(ReadImage(read, image.Get()), S_OK);
    const Variant flag = read.GetCopy("sys:flag");
    EXPECT_EQ(flag.Type(), VT_BOOL);
    EXPECT_EQ(flag.AsI2(), 1);
    EXPECT_FALSE(flag.IsTrue());
    EXPECT_TRUE(read.GetCopy("sys:on").IsTrue());
    EXPECT_EQ(WriteImage(read), image.Get());
}

TEST(ConfigTreeFileTest, RoundTripKeepsEveryTypeAndValueExactly) {
    ConfigTree tree;
    const std::vector<std::pair<std::string, Variant>> values = {
        {"n:i1", Variant::I1(-128)},
        {"n:ui1", Variant::UI1(255)},
        {"n:i2", Variant::I2(std::numeric_limits<std::int16_t>::min())},
        {"n:ui2", Variant::UI2(0xFFFF)},
        {"n:i4", Variant::I4(std::numeric_limits<std::int32_t>::min())},
        {"n:ui4", Variant::UI4(0xFFFFFFFF)},
        {"n:i8", Variant::I8(std::numeric_limits<std::int64_t>::min())},
        {"n:ui8", Variant::UI8(std::numeric_limits<std::uint64_t>::max())},
        {"n:int", Variant::Int(-7)},
        {"n:uint", Variant::UInt(0x80000000)},
        {"n:r4", Variant::R4(-0.15625f)},
        {"n:r4max", Variant::R4(std::numeric_limits<float>::max())},
        {"n:r8", Variant::R8(-1e300)},
        {"n:r8neg0", Variant::R8(-0.0)},
        {"n:r8tiny", Variant::R8(std::numeric_limits<double>::denorm_min())},
        {"n:r8nan", Variant::R8(std::numeric_limits<double>::quiet_NaN())},
        {"n:cy", Variant::Currency(std::numeric_limits<std::int64_t>::min())},
        {"n:date", Variant::DateValue(-1.25)},
        {"n:true", Variant::Bool(true)},
        {"n:false", Variant::Bool(false)},
        {"n:error", Variant::Error(STG_E_SHAREVIOLATION)},
        {"t:text", Variant::Text("line\r\nnext \xE2\x82\xAC \xF0\x9F\x93\xA7 tab\t")},
        {"t:null", Variant::NullText()},
        {"t:empty", Variant::Text("")},
        {"t:dbnull", Variant::Null()},
        {"t:Gr\xC3\xB6\xC3\x9F" "e:deep:deeper", Variant::I4(3)},
    };
    for (const auto& [key, value] : values) ASSERT_TRUE(tree.Set(key, value)) << key;

    const std::vector<std::byte> image = WriteImage(tree);
    ConfigTree read;
    ASSERT_EQ(ReadImage(read, image), S_OK);
    EXPECT_EQ(Dump(read), Dump(tree));
    for (const auto& [key, value] : values) {
        if (key == "n:r8nan") continue;  // NaN never compares equal; the dump compared its bits
        EXPECT_EQ(read.GetCopy(key), value) << key << " read as " << Describe(read.GetCopy(key));
    }
    EXPECT_EQ(WriteImage(read), image);
}

}  // namespace
}  // namespace pw::core
