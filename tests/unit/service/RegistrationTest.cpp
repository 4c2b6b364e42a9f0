// Registration: what the three switches write into the registry file and the unit directory, and
// that everything else in the registry file survives them.
#include "service/Registration.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "core/Configuration.h"
#include "core/RegistryKeys.h"
#include "platform/ClassRegistry.h"
#include "platform/DirStorage.h"

namespace pw::service {
namespace {

const Guid kTestClass = *Guid::Parse("{6B1D53E4-0C0B-4F0C-9A35-3C9E54A1D001}");

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClassRegistry::Instance().Register({kTestClass, "Pellworth.RegistrationProbe", "RegistrationProbe", [] {
                                                return std::shared_ptr<Unknown>();
                                            }});
        test::WriteFileText(RegistryPath(), "Windows Registry Editor Version 5.00\n\n"
                                            "[HKEY_LOCAL_MACHINE\\Software\\Other\\Vendor]\n"
                                            "\"Kept\"=hex(7):41,00,00,00,00,00\n"
                                            "; a comment somebody wrote\n");
    }

    std::string RegistryPath() const { return scratch_ / "pellworth.reg"; }

    RegistrationContext Context() const {
        return RegistrationContext{Registry(RegistryPath()), "Pellworth", "Pellworth Mail Server",
                                   "/opt/pell worth/bin/pellworth", scratch_ / "units", false};
    }

    RegistryFile Read() const {
        RegistryFile file;
        EXPECT_EQ(Registry(RegistryPath()).Read(file), S_OK);
        return file;
    }

    void ExpectForeignEntriesKept() const {
        const std::string text = test::ReadFileText(RegistryPath());
        EXPECT_NE(text.find("\"Kept\"=hex(7):41,00,00,00,00,00"), std::string::npos) << text;
        EXPECT_NE(text.find("; a comment somebody wrote"), std::string::npos) << text;
    }

    test::ScratchDirectory scratch_;
};

TEST_F(RegistrationTest, RegServerWritesAppIdAndClassRecordsWithoutService) {
    RegisterServer(Context());
    const RegistryFile file = Read();
    ASSERT_TRUE(file.KeyExists(AppIdKey()));
    EXPECT_EQ(file.FindValue(AppIdKey(), "LocalService"), nullptr);
    const std::string clsidKey = "HKEY_CLASSES_ROOT\\CLSID\\" + kTestClass.ToString();
    const RegistryValue* server = file.FindValue(clsidKey + "\\LocalServer32", "");
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->text, "\"/opt/pell worth/bin/pellworth\"");
    const RegistryValue* progIdClsid = file.FindValue("HKEY_CLASSES_ROOT\\Pellworth.RegistrationProbe.1\\CLSID", "");
    ASSERT_NE(progIdClsid, nullptr);
    EXPECT_EQ(progIdClsid->text, kTestClass.ToString());
    EXPECT_FALSE(test::FileExists(Context().UnitPath()));
    ExpectForeignEntriesKept();
}

TEST_F(RegistrationTest, ServiceSetsLocalServiceAndWritesTheUnit) {
    RegisterService(Context());
    const RegistryFile file = Read();
    const RegistryValue* localService = file.FindValue(AppIdKey(), "LocalService");
    ASSERT_NE(localService, nullptr);
    EXPECT_EQ(localService->text, "Pellworth");
    const std::string eventSource =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Pellworth";
    ASSERT_NE(file.FindValue(eventSource, "TypesSupported"), nullptr);
    EXPECT_EQ(file.FindValue(eventSource, "TypesSupported")->dword, 7u);
    EXPECT_EQ(file.FindValue(eventSource, "EventMessageFile")->type, RegistryValueType::ExpandString);

    const std::string unit = test::ReadFileText(Context().UnitPath());
    EXPECT_NE(unit.find("ExecStart=\"/opt/pell worth/bin/pellworth\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("PELLWORTH_REGISTRY=" + RegistryPath()), std::string::npos) << unit;
    EXPECT_NE(unit.find("Type=notify"), std::string::npos);
    EXPECT_NE(unit.find("WantedBy=multi-user.target"), std::string::npos);
    ExpectForeignEntriesKept();
}

TEST_F(RegistrationTest, RegServerAfterServiceRemovesTheServiceAgain) {
    RegisterService(Context());
    RegisterServer(Context());
    EXPECT_FALSE(test::FileExists(Context().UnitPath()));
    EXPECT_EQ(Read().FindValue(AppIdKey(), "LocalService"), nullptr);
    EXPECT_TRUE(Read().KeyExists(AppIdKey()));
}

TEST_F(RegistrationTest, UnregServerRemovesEverythingItWroteAndNothingElse) {
    RegisterService(Context());
    UnregisterServer(Context());
    const RegistryFile file = Read();
    EXPECT_FALSE(file.KeyExists(AppIdKey()));
    EXPECT_FALSE(file.KeyExists("HKEY_CLASSES_ROOT\\CLSID\\" + kTestClass.ToString()));
    EXPECT_FALSE(file.KeyExists("HKEY_CLASSES_ROOT\\Pellworth.RegistrationProbe"));
    EXPECT_FALSE(file.KeyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Pellworth"));
    EXPECT_FALSE(test::FileExists(Context().UnitPath()));
    ExpectForeignEntriesKept();
}

TEST_F(RegistrationTest, UnitQuotesPercentSignsAndQuotes) {
    RegistrationContext context = Context();
    context.executablePath = "/srv/100%\"mail\"/pellworth";
    const std::string unit = SystemdUnitText(context);
    EXPECT_NE(unit.find("ExecStart=\"/srv/100%%\\\"mail\\\"/pellworth\""), std::string::npos) << unit;
    // The manager waits for readiness long enough for a start-up that checks a big store.
    EXPECT_NE(unit.find("\nTimeoutStartSec=300\n"), std::string::npos) << unit;
}

TEST_F(RegistrationTest, TheVirusScannersScratchDirectoryIsWritableWhenSet) {
    const std::string store = scratch_ / "store";
    ASSERT_EQ(Registry(RegistryPath()).SetString(core::ServerGeneralKey(), "MessageStore", store), S_OK);
    ASSERT_EQ(DirStorage(store).CreateSelf(), S_OK);
    const std::string writable = "ReadWritePaths=\"" + store + "\" \"" + scratch_.Path() + "\"";
    // The backups' and SpamAssassin's site directory (their defaults here) are the last paths, with or
    // without the scanner's.
    EXPECT_NE(SystemdUnitText(Context()).find(writable + " \"-/var/lib/pellworth/backup\" \"-/etc/spamassassin\"\n"), std::string::npos);
    core::ConfigTree settings;
    settings.Set("sys:av:temppath", Variant::Text("/var/spool/pw av/"));
    ASSERT_TRUE(core::SaveConfiguration(settings, DirStorage(store)));
    const std::string unit = SystemdUnitText(Context());
    // Optional ("-"): a directory the administrator has not made yet does not stop the service.
    EXPECT_NE(unit.find(writable + " \"-/var/spool/pw av\" \"-/var/lib/pellworth/backup\" \"-/etc/spamassassin\"\n"), std::string::npos) << unit;
}

TEST_F(RegistrationTest, UnwritableRegistryFailsWithAClearError) {
    RegistrationContext context = Context();
    context.registry = Registry("/proc/pellworth-cannot-be-here/pellworth.reg");
    EXPECT_THROW(RegisterServer(context), ComError);
}

}  // namespace
}  // namespace pw::service
