// ClassRegistry: lookup by class and program identifier, and the persisted object layout -- the class
// identifier's 16 bytes, then the object's own data.
#include "platform/ClassRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace pw {
namespace {

const Guid kWidgetClass = *Guid::Parse("{3F2A7C10-5B6E-4D21-9C8E-0A1B2C3D4E01}");
const Guid kPlainClass = *Guid::Parse("{3F2A7C10-5B6E-4D21-9C8E-0A1B2C3D4E02}");
const Guid kBrokenClass = *Guid::Parse("{3F2A7C10-5B6E-4D21-9C8E-0A1B2C3D4E03}");
const Guid kReplacedClass = *Guid::Parse("{3F2A7C10-5B6E-4D21-9C8E-0A1B2C3D4E04}");
const Guid kUnregisteredClass = *Guid::Parse("{3F2A7C10-5B6E-4D21-9C8E-0A1B2C3D4EFF}");

// A persistable test object: a 32-bit number and a length-prefixed label.
class Widget : public Unknown, public PersistStream {
public:
    Guid ClassId() const override { return kWidgetClass; }
    HRESULT Save(Stream& stream) override {
        test::Bytes bytes;
        bytes.U32(number).U16(static_cast<std::uint16_t>(label.size())).Ascii(label);
        return stream.Write(bytes.Get());
    }
    HRESULT Load(Stream& stream) override {
        std::byte header[6];
        if (const HRESULT hr = ReadExact(stream, header); Failed(hr)) return hr;
        std::memcpy(&number, header, 4);
        std::uint16_t length = 0;
        std::memcpy(&length, header + 4, 2);
        std::vector<std::byte> text(length);
        if (const HRESULT hr = ReadExact(stream, text); Failed(hr)) return hr;
        label.assign(reinterpret_cast<const char*>(text.data()), text.size());
        return S_OK;
    }

    std::uint32_t number = 0;
    std::string label;
};

class Plain : public Unknown {};

class Broken : public Unknown, public PersistStream {
public:
    Guid ClassId() const override { return kBrokenClass; }
    HRESULT Save(Stream& stream) override { return stream.Write("junk"); }
    HRESULT Load(Stream&) override { return E_UNEXPECTED; }
};

class ClassRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& registry = ClassRegistry::Instance();
        registry.Register({kWidgetClass, "PwTest.Widget", "Widget", [] { return std::make_shared<Widget>(); }});
        registry.Register({kPlainClass, "", "Plain", [] { return std::make_shared<Plain>(); }});
        registry.Register({kBrokenClass, "PwTest.Broken", "Broken", [] { return std::make_shared<Broken>(); }});
    }
};

TEST_F(ClassRegistryTest, CreatesRegisteredClassesByIdentifier) {
    const auto& registry = ClassRegistry::Instance();
    EXPECT_TRUE(registry.IsRegistered(kWidgetClass));
    EXPECT_NE(std::dynamic_pointer_cast<Widget>(registry.Create(kWidgetClass)), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<Plain>(registry.Create(kPlainClass)), nullptr);
    EXPECT_NE(registry.Create(kWidgetClass), registry.Create(kWidgetClass)) << "a new object each time";
    EXPECT_FALSE(registry.IsRegistered(kUnregisteredClass));
    EXPECT_EQ(registry.Create(kUnregisteredClass), nullptr);
}

TEST_F(ClassRegistryTest, ProgIdLookupIgnoresCaseAndTheVersionSuffix) {
    const auto& registry = ClassRegistry::Instance();
    for (const char* progId : {"PwTest.Widget", "PwTest.Widget.1", "pwtest.widget", "PWTEST.WIDGET.1"}) {
        EXPECT_EQ(registry.ClsidFromProgId(progId), kWidgetClass) << progId;
    }
    for (const char* progId : {"PwTest.Widget.2", "PwTest.Widget.1.1", "PwTest", "PwTest.Widgets", "", ".1"}) {
        EXPECT_FALSE(registry.ClsidFromProgId(progId)) << progId;
    }
}

TEST_F(ClassRegistryTest, RegisteringAnIdentifierAgainReplacesTheEntry) {
    auto& registry = ClassRegistry::Instance();
    registry.Register({kReplacedClass, "PwTest.First", "First", [] { return std::make_shared<Plain>(); }});
    registry.Register({kReplacedClass, "PwTest.Second", "Second", [] { return std::make_shared<Widget>(); }});
    EXPECT_FALSE(registry.ClsidFromProgId("PwTest.First"));
    EXPECT_EQ(registry.ClsidFromProgId("PwTest.Second"), kReplacedClass);
    EXPECT_NE(std::dynamic_pointer_cast<Widget>(registry.Create(kReplacedClass)), nullptr);
    int entries = 0;
    for (const ClassInfo& info : registry.Classes()) entries += info.clsid == kReplacedClass ? 1 : 0;
    EXPECT_EQ(entries, 1);
}

TEST_F(ClassRegistryTest, SaveWritesClassIdThenDataAndLoadReadsItBack) {
    auto widget = std::make_shared<Widget>();
    widget->number = 0x01020304;
    widget->label = "hello";
    MemoryStream stream;
    ASSERT_EQ(SaveObject(widget, stream), S_OK);
    ASSERT_EQ(SaveObject(nullptr, stream), S_OK);
    ASSERT_EQ(stream.Write("tail"), S_OK);

    const auto classBytes = kWidgetClass.ToBytes();
    std::vector<std::byte> expected(classBytes.begin(), classBytes.end());
    const auto data = test::Bytes().U32(0x01020304).U16(5).Ascii("hello").Get();
    expected.insert(expected.end(), data.begin(), data.end());
    expected.insert(expected.end(), Guid::kBinarySize, std::byte{0});
    const auto tail = test::Bytes().Ascii("tail").Get();
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(stream.Bytes(), expected);

    ASSERT_EQ(stream.Seek(0, SeekOrigin::Begin), S_OK);
    std::shared_ptr<Unknown> loaded;
    ASSERT_EQ(LoadObject(stream, loaded), S_OK);
    const auto back = std::dynamic_pointer_cast<Widget>(loaded);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->number, 0x01020304u);
    EXPECT_EQ(back->label, "hello");
    ASSERT_EQ(LoadObject(stream, loaded), S_OK) << "the null object";
    EXPECT_EQ(loaded, nullptr);
    std::byte rest[4];
    ASSERT_EQ(ReadExact(stream, rest), S_OK) << "each load consumed exactly its own bytes";
    EXPECT_EQ(std::memcmp(rest, "tail", 4), 0);
}

TEST_F(ClassRegistryTest, LoadFailuresLeaveNoObject) {
    // An unregistered class can not be skipped: REGDB_E_CLASSNOTREG.
    MemoryStream unknown;
    ASSERT_EQ(unknown.Write(kUnregisteredClass.ToBytes()), S_OK);
    ASSERT_EQ(unknown.Write("data"), S_OK);
    ASSERT_EQ(unknown.Seek(0, SeekOrigin::Begin), S_OK);
    std::shared_ptr<Unknown> loaded = std::make_shared<Plain>();
    EXPECT_EQ(LoadObject(unknown, loaded), MakeHresult(0x80040154));
    EXPECT_EQ(loaded, nullptr);

    // A class identifier cut short, a class that can not persist, a Load that fails.
    MemoryStream truncated(test::Bytes().U32(1).U32(2).Get());
    EXPECT_EQ(LoadObject(truncated, loaded), STG_E_ENDOFFILE);
    MemoryStream plain;
    ASSERT_EQ(plain.Write(kPlainClass.ToBytes()), S_OK);
    ASSERT_EQ(plain.Seek(0, SeekOrigin::Begin), S_OK);
    EXPECT_EQ(LoadObject(plain, loaded), E_NOINTERFACE);
    EXPECT_EQ(loaded, nullptr);
    MemoryStream broken;
    ASSERT_EQ(SaveObject(std::make_shared<Broken>(), broken), S_OK);
    ASSERT_EQ(broken.Seek(0, SeekOrigin::Begin), S_OK);
    EXPECT_EQ(LoadObject(broken, loaded), E_UNEXPECTED);
    EXPECT_EQ(loaded, nullptr);

    // Saving an object that can not persist writes nothing.
    MemoryStream out;
    EXPECT_EQ(SaveObject(std::make_shared<Plain>(), out), E_NOINTERFACE);
    EXPECT_TRUE(out.Bytes().empty());
}

}  // namespace
}  // namespace pw
