#include "mailcommands/CommandValue.h"

#include <gtest/gtest.h>

namespace pw::mailcommands {
namespace {

// The value a type word makes of a text, or what kept it from making one.
::testing::AssertionResult Converts(std::string_view type, std::string_view text, const Variant& expected) {
    Variant value;
    const ValueResult result = ConvertValue(type, text, value);
    if (result != ValueResult::Value) return ::testing::AssertionFailure() << type << " " << text << " did not convert";
    if (!(value == expected)) {
        std::string got;
        (void)value.ToText(got);
        return ::testing::AssertionFailure() << type << " " << text << " gave " << VarTypeName(value.Type()) << " " << got;
    }
    return ::testing::AssertionSuccess();
}

ValueResult Result(std::string_view type, std::string_view text) {
    Variant value;
    return ConvertValue(type, text, value);
}

TEST(CommandValue, IntegersFillTheirTypeToItsLimitsAndNeverWrap) {
    EXPECT_TRUE(Converts("i2", "-32768", Variant::I2(-32768)));
    EXPECT_EQ(Result("I2", "32768"), ValueResult::BadValue);
    EXPECT_TRUE(Converts("UI1", "255", Variant::UI1(255)));
    EXPECT_EQ(Result("UI2", "-1"), ValueResult::BadValue);
    EXPECT_TRUE(Converts("UINT", "4294967295", Variant::UInt(UINT32_MAX)));
    EXPECT_EQ(Result("UI4", "4294967296"), ValueResult::BadValue);
    EXPECT_TRUE(Converts("DECIMAL", "-9223372036854775808", Variant::I8(INT64_MIN)));
    EXPECT_EQ(Result("I8", "9223372036854775808"), ValueResult::BadValue);
    EXPECT_TRUE(Converts("HRESULT", "-2147467259", Variant::Error(static_cast<HRESULT>(0x80004005))));
    for (const char* text : {"", "0x10", "1e3", "12.0", "1 2", "--1"}) EXPECT_EQ(Result("I4", text), ValueResult::BadValue) << text;
}

TEST(CommandValue, RealsCurrencyAndDatesReadTheSameInEveryLocale) {
    EXPECT_TRUE(Converts("R8", "12.34", Variant::R8(12.34)));
    EXPECT_TRUE(Converts("R8", "-.5e-3", Variant::R8(-0.0005)));
    EXPECT_TRUE(Converts("R4", "3.4e38", Variant::R4(3.4e38f)));
    EXPECT_EQ(Result("R4", "1e39"), ValueResult::BadValue);
    EXPECT_EQ(Result("R8", "1e309"), ValueResult::BadValue);
    for (const char* text : {"12,34", "inf", "nan", "0x1p3", "1e", ".", "1.2.3"}) EXPECT_EQ(Result("R8", text), ValueResult::BadValue) << text;
    EXPECT_TRUE(Converts("CY", "12.34", Variant::Currency(123400)));
    EXPECT_TRUE(Converts("CY", "-922337203685477.5808", Variant::Currency(INT64_MIN)));
    EXPECT_EQ(Result("CY", "922337203685477.5808"), ValueResult::BadValue);
    EXPECT_EQ(Result("CY", "12,34"), ValueResult::BadValue);
    EXPECT_TRUE(Converts("DATE", "2024-02-29 23:59:59", Variant::DateValue(DateFromFields(2024, 2, 29, 23, 59, 59))));
    EXPECT_TRUE(Converts("DATE", "12/31/1999", Variant::DateValue(DateFromFields(1999, 12, 31))));
    EXPECT_TRUE(Converts("date", "2/29/2024", Variant::DateValue(DateFromFields(2024, 2, 29))));
    for (const char* text : {"2023-02-29", "2/29/2023", "13/1/2000", "1/1/99", "1/32/2000", "45351", "1//2000", "a/b/cdef"}) {
        EXPECT_EQ(Result("DATE", text), ValueResult::BadValue) << text;
    }
}

TEST(CommandValue, BooleansTextsAndTheWordsWithoutAValue) {
    for (const char* text : {"Y", "y", "TRUE", "yes", "-1", "2"}) EXPECT_TRUE(Converts("BOOL", text, Variant::Bool(true))) << text;
    for (const char* text : {"no", "No", "false", "n", "0"}) EXPECT_TRUE(Converts("Bool", text, Variant::Bool(false))) << text;
    EXPECT_EQ(Result("BOOL", "perhaps"), ValueResult::BadValue);
    EXPECT_TRUE(Converts("STR", "  kept as given ", Variant::Text("  kept as given ")));
    EXPECT_TRUE(Converts("NULL", "anything", Variant::Null()));
    EXPECT_EQ(Result("void", "x"), ValueResult::Remove);
    EXPECT_EQ(Result("VT_I4", "1"), ValueResult::UnknownType);
    EXPECT_EQ(Result("", "1"), ValueResult::UnknownType);
}

TEST(CommandValue, OnlyTheMailboxsOwnSettingsMayBeSet) {
    for (const char* name : {"mailbox:password", "MAILBOX:Comment", "mailbox:autoreplyenable", "mailbox:autoreplysubject",
                             "mailbox:autoreplybody", "user:quota:nummsgs", "alias:forward", "group:fwdtoaddrs", "ml.type"}) {
        EXPECT_TRUE(IsSettableName(name)) << name;
    }
    for (const char* name : {"_Type", "_Password", "_ACL:Members:anyone", "relay:to", "Route:type", "ml:datasource", "domain:unknownemail",
                             "autoreply:sent:a@b", "router:hops", "dsn:x", "mailbox:other", "user:quota:", "alias:", "ml.", "ml.type:x",
                             "user:quota::x", "user:quota:a/b", "alias:x y", ":alias:x"}) {
        EXPECT_FALSE(IsSettableName(name)) << name;
    }
}

}  // namespace
}  // namespace pw::mailcommands
