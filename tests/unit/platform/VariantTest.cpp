// Variant: the VARTYPE tag survives every factory, switches read as the automation booleans, and the
// text conversions round-trip each type while refusing values that do not fit.
#include "platform/Variant.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/Unknown.h"

namespace pw {
namespace {

std::string TextOf(const Variant& value) {
    std::string text = "<unset>";
    EXPECT_EQ(value.ToText(text), S_OK);
    return text;
}

TEST(VariantTest, FactoriesKeepTheirVarType) {
    const std::vector<std::pair<Variant, VarType>> cases = {
        {Variant(), VT_EMPTY},          {Variant::Null(), VT_NULL},        {Variant::I1(-1), VT_I1},
        {Variant::I2(-1), VT_I2},       {Variant::I4(-1), VT_I4},          {Variant::I8(-1), VT_I8},
        {Variant::Int(-1), VT_INT},     {Variant::UI1(1), VT_UI1},         {Variant::UI2(25), VT_UI2},
        {Variant::UI4(1), VT_UI4},      {Variant::UI8(1), VT_UI8},         {Variant::UInt(1), VT_UINT},
        {Variant::R4(1.5f), VT_R4},     {Variant::R8(1.5), VT_R8},         {Variant::DateValue(1.0), VT_DATE},
        {Variant::Currency(1), VT_CY},  {Variant::Bool(true), VT_BOOL},    {Variant::Switch(true), VT_I2},
        {Variant::Error(E_FAIL), VT_ERROR}, {Variant::Text("x"), VT_BSTR}, {Variant::NullText(), VT_BSTR},
        {Variant::Object(nullptr), VT_DISPATCH}, {Variant::Object(nullptr, VT_UNKNOWN), VT_UNKNOWN},
        {Variant::Object(nullptr, VT_I4), VT_DISPATCH},
    };
    for (const auto& [value, type] : cases) EXPECT_EQ(value.Type(), type) << VarTypeName(type);

    // Equality takes the tag into account, not only the value.
    EXPECT_NE(Variant::I4(5), Variant::Int(5));
    EXPECT_NE(Variant::I2(-1), Variant::Bool(true));
    EXPECT_NE(Variant::UI4(5), Variant::I4(5));
    EXPECT_EQ(Variant::Switch(true), Variant::I2(-1));
    EXPECT_EQ(Variant::Bool(true).AsI2(), -1);
    EXPECT_EQ(Variant::UI2(25).AsUI2(), 25);
}

TEST(VariantTest, IsTrueOnlyForTheSixteenBitMinusOne) {
    for (const Variant& on : {Variant::Bool(true), Variant::Switch(true), Variant::I2(-1), Variant::I4(-1),
                              Variant::UI2(0xFFFF)}) {
        EXPECT_TRUE(on.IsTrue()) << VarTypeName(on.Type());
    }
    for (const Variant& off : {Variant::Bool(false), Variant::Switch(false), Variant::I2(1), Variant::I4(1),
                               Variant::UI1(1), Variant::Text("-1"), Variant::Text("True"), Variant(),
                               Variant::Null()}) {
        EXPECT_FALSE(off.IsTrue()) << VarTypeName(off.Type());
    }
}

TEST(VariantTest, NumbersRoundTripThroughTextAtTheirLimits) {
    const std::vector<std::pair<Variant, std::string>> cases = {
        {Variant::I1(-128), "-128"},
        {Variant::I1(127), "127"},
        {Variant::I2(-32768), "-32768"},
        {Variant::I2(32767), "32767"},
        {Variant::I4(std::numeric_limits<std::int32_t>::min()), "-2147483648"},
        {Variant::Int(2147483647), "2147483647"},
        {Variant::I8(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
        {Variant::I8(std::numeric_limits<std::int64_t>::max()), "9223372036854775807"},
        {Variant::UI1(255), "255"},
        {Variant::UI2(65535), "65535"},
        {Variant::UI4(4294967295u), "4294967295"},
        {Variant::UInt(0), "0"},
        {Variant::UI8(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
        {Variant::Error(E_FAIL), "-2147467259"},
        {Variant::R8(0.1), "0.1"},
        {Variant::R8(-2.5e300), "-2.5e+300"},
        {Variant::R4(1.5f), "1.5"},
        {Variant::Currency(-50000), "-5"},
    };
    for (const auto& [value, text] : cases) {
        SCOPED_TRACE(testing::Message() << VarTypeName(value.Type()) << " " << text);
        EXPECT_EQ(TextOf(value), text);
        Variant back;
        ASSERT_EQ(Variant::FromText(value.Type(), text, back), S_OK);
        EXPECT_EQ(back, value);
    }
    Variant parsed;
    ASSERT_EQ(Variant::FromText(VT_I4, " +42 ", parsed), S_OK);
    EXPECT_EQ(parsed, Variant::I4(42));
    EXPECT_EQ(Variant::Text("123").AsInt64(), 123) << "a text holding a number reads as that number";
    EXPECT_EQ(Variant::Text("abc").AsInt64(), 0);
}

// Collects "type:text" entries whose ToText / FromText round trip is wrong.
std::string RoundTripFaults(const std::vector<std::pair<Variant, std::string>>& cases) {
    std::string faults;
    for (const auto& [value, text] : cases) {
        std::string written;
        Variant back;
        const HRESULT hr = Variant::FromText(value.Type(), text, back);
        if (Failed(value.ToText(written)) || written != text || Failed(hr) || !(back == value)) {
            faults += std::string(" ") + VarTypeName(value.Type()) + " " + text + " (written \"" + written + "\")";
        }
    }
    return faults;
}

TEST(VariantTest, CurrencyTextIsTheExactScaledAmount) {
    const std::string faults = RoundTripFaults({
        {Variant::Currency(12345), "1.2345"},
        {Variant::Currency(-50000), "-5"},
        {Variant::Currency(1), "0.0001"},
        {Variant::Currency(123456789012345678), "12345678901234.5678"},
        {Variant::Currency(std::numeric_limits<std::int64_t>::max()), "922337203685477.5807"},
    });
    EXPECT_EQ(faults, "");
}

TEST(VariantTest, SinglePrecisionTextReadsBackAsTheSameFloat) {
    std::string faults = RoundTripFaults({{Variant::R4(0.1f), "0.1"}, {Variant::R4(-2.5e-7f), "-2.5e-07"}});
    Variant out;
    const HRESULT big = Variant::FromText(VT_R4, "1e39", out);
    if (big != DISP_E_OVERFLOW) faults += " r4 1e39 gave " + HresultText(big);
    EXPECT_EQ(faults, "");
}

TEST(VariantTest, FromTextRefusesValuesThatDoNotFitOrAreNotNumbers) {
    struct Case {
        VarType type;
        const char* text;
        HRESULT expected;
    };
    const Case cases[] = {
        {VT_UI2, "70000", DISP_E_OVERFLOW},    {VT_I2, "40000", DISP_E_OVERFLOW},
        {VT_I2, "-40000", DISP_E_OVERFLOW},    {VT_UI4, "-1", DISP_E_OVERFLOW},
        {VT_I1, "128", DISP_E_OVERFLOW},       {VT_UI1, "256", DISP_E_OVERFLOW},
        {VT_I4, "2147483648", DISP_E_OVERFLOW}, {VT_UI4, "4294967296", DISP_E_OVERFLOW},
        {VT_I8, "9223372036854775808", DISP_E_OVERFLOW},
        {VT_I4, "abc", DISP_E_TYPEMISMATCH},   {VT_UI2, "abc", DISP_E_TYPEMISMATCH},
        {VT_I2, "", DISP_E_TYPEMISMATCH},      {VT_I4, "12abc", DISP_E_TYPEMISMATCH},
        {VT_R8, "abc", DISP_E_TYPEMISMATCH},   {VT_R8, "", DISP_E_TYPEMISMATCH},
        {VT_BOOL, "maybe", DISP_E_TYPEMISMATCH}, {VT_DATE, "not a date", DISP_E_TYPEMISMATCH},
        {VT_DATE, "2026-02-30", DISP_E_TYPEMISMATCH}, {VT_CY, "abc", DISP_E_TYPEMISMATCH},
        {VT_DISPATCH, "1", DISP_E_TYPEMISMATCH},
    };
    EXPECT_EQ(DISP_E_OVERFLOW, MakeHresult(0x8002000A));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, MakeHresult(0x80020005));
    for (const Case& c : cases) {
        Variant out = Variant::I4(7);
        EXPECT_EQ(Variant::FromText(c.type, c.text, out), c.expected) << VarTypeName(c.type) << ":" << c.text;
    }
}

TEST(VariantTest, NumbersBeyondSixtyFourBitsOverflowRatherThanMismatch) {
    const std::pair<VarType, const char*> cases[] = {
        {VT_UI8, "18446744073709551616"},
        {VT_I8, "-9223372036854775809"},
        {VT_I4, "99999999999999999999"},
        {VT_UI2, "-99999999999999999999"},
    };
    std::string wrong;
    for (const auto& [type, text] : cases) {
        Variant out;
        const HRESULT hr = Variant::FromText(type, text, out);
        if (hr != DISP_E_OVERFLOW) wrong += std::string(" ") + VarTypeName(type) + ":" + text + "=" + HresultText(hr);
    }
    EXPECT_EQ(wrong, "");
}

TEST(VariantTest, NullTextAndEmptyTextStayDistinct) {
    const Variant nullText = Variant::NullText();
    const Variant empty = Variant::Text("");
    EXPECT_TRUE(nullText.IsNullText());
    EXPECT_FALSE(empty.IsNullText());
    EXPECT_TRUE(nullText.IsText() && empty.IsText());
    EXPECT_NE(nullText, empty);
    EXPECT_EQ(nullText.AsText(), "");
    EXPECT_EQ(TextOf(nullText), "");
    Variant back;
    ASSERT_EQ(Variant::FromText(VT_BSTR, "", back), S_OK);
    EXPECT_EQ(back, empty);
    EXPECT_FALSE(back.IsNullText());
    EXPECT_EQ(TextOf(Variant()), "");
    EXPECT_EQ(TextOf(Variant::Null()), "");
}

TEST(VariantTest, BooleansReadAndWriteAsTrueAndFalse) {
    EXPECT_EQ(TextOf(Variant::Bool(true)), "True");
    EXPECT_EQ(TextOf(Variant::Bool(false)), "False");
    const std::pair<const char*, bool> cases[] = {{"True", true}, {"TRUE", true},  {" false ", false},
                                                  {"-1", true},   {"1", true},     {"0", false}};
    for (const auto& [text, expected] : cases) {
        Variant out;
        ASSERT_EQ(Variant::FromText(VT_BOOL, text, out), S_OK) << text;
        EXPECT_EQ(out, Variant::Bool(expected)) << text;
        EXPECT_EQ(out.AsI2(), expected ? -1 : 0) << "stored as the automation boolean";
    }
}

TEST(VariantTest, DatesReadAndWriteAsIsoText) {
    const Variant date = Variant::DateValue(DateFromFields(2026, 12, 8, 18, 0, 5));
    EXPECT_EQ(TextOf(date), "2026-12-08 18:00:05");
    Variant back;
    ASSERT_EQ(Variant::FromText(VT_DATE, "2026-12-08 18:00:05", back), S_OK);
    EXPECT_EQ(back, date);
    ASSERT_EQ(Variant::FromText(VT_DATE, "2026-12-08T18:00", back), S_OK);
    EXPECT_EQ(back, Variant::DateValue(DateFromFields(2026, 12, 8, 18, 0, 0)));
    ASSERT_EQ(Variant::FromText(VT_DATE, "45000.25", back), S_OK) << "the serial number form";
    EXPECT_EQ(back, Variant::DateValue(45000.25));
}

TEST(VariantTest, ObjectsAreSharedAndHaveNoText) {
    auto object = std::make_shared<Unknown>();
    const Variant value = Variant::Object(object);
    const Variant copy = value;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.AsObject(), object);
    EXPECT_EQ(object.use_count(), 3);
    std::string text = "unchanged";
    EXPECT_EQ(value.ToText(text), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Variant::Object(nullptr, VT_UNKNOWN).ToText(text), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Variant::I4(3).AsObject(), nullptr);
    EXPECT_FALSE(value.IsNumeric());
    EXPECT_EQ(value.AsInt64(), 0);
}

}  // namespace
}  // namespace pw
