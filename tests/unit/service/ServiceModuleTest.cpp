// ServiceModule: start-up against real registry files and stores, the running guard, the router
// count switches, and the local server's idle end.
#include "service/ServiceModule.h"

#include <gtest/gtest.h>

#include <future>

#include "TestSupport.h"
#include "core/Configuration.h"
#include "core/RegistryKeys.h"

namespace pw::service {
namespace {

using namespace std::chrono_literals;

class ServiceModuleTest : public ::testing::Test {
protected:
    void SetUp() override { core::ServerConfig().Clear(); }
    void TearDown() override { core::ServerConfig().Clear(); }

    Registry MakeRegistry() const { return Registry(scratch_ / "pellworth.reg"); }
    std::string StorePath() const { return scratch_ / "deep/store"; }
    void ConfigureStore() const { ASSERT_EQ(MakeRegistry().SetString(core::ServerGeneralKey(), "MessageStore", StorePath()), S_OK); }
    static ServiceTimings Quick() { return ServiceTimings{20ms, 0ms}; }

    // Runs the module on its own thread until the test posts the quit (or it ends by itself).
    std::future<HRESULT> RunAsync(ServiceModule& module, bool serviceMode, bool embedded = false) {
        return std::async(std::launch::async, [&module, serviceMode, embedded] { return module.Run(serviceMode, embedded); });
    }

    static bool WaitUntilRunning(const ServiceModule& module) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!module.Running()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }

    test::ScratchDirectory scratch_;
};

TEST_F(ServiceModuleTest, WithoutStoreValueStartupFailsWithFileNotFound) {
    ServiceModule module(MakeRegistry(), Quick());
    EXPECT_EQ(module.Run(false), STG_E_FILENOTFOUND);
    EXPECT_NE(module.FailureText().find("MessageStore"), std::string::npos);
    EXPECT_FALSE(module.Running());
}

TEST_F(ServiceModuleTest, CreatesAMissingStoreRunsAndSavesDefaultsOnStop) {
    ConfigureStore();
    ServiceModule module(MakeRegistry(), Quick());
    auto result = RunAsync(module, true);
    ASSERT_TRUE(WaitUntilRunning(module));
    EXPECT_TRUE(DirStorage(StorePath()).Exists());
    EXPECT_TRUE(test::FileExists(StorePath() + "/pellworth.lock"));
    module.PostQuit();
    ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(result.get(), S_OK);
    EXPECT_FALSE(module.Running());

    core::ConfigTree saved;
    EXPECT_TRUE(core::LoadConfiguration(saved, DirStorage(StorePath())));
    EXPECT_EQ(saved.GetCopy("sys:smtp:0:port"), core::PortValue(25));
    EXPECT_EQ(saved.GetCopy("sys:imap4:0:enabled"), Variant::I2(-1));
}

TEST_F(ServiceModuleTest, SecondServerOnTheSameStoreIsRefused) {
    ConfigureStore();
    ServiceModule first(MakeRegistry(), Quick());
    auto running = RunAsync(first, true);
    ASSERT_TRUE(WaitUntilRunning(first));

    ServiceModule second(MakeRegistry(), Quick());
    EXPECT_EQ(second.Run(true), STG_E_SHAREVIOLATION);
    EXPECT_NE(second.FailureText().find("in use"), std::string::npos) << second.FailureText();

    first.PostQuit();
    ASSERT_EQ(running.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(running.get(), S_OK);
}

TEST_F(ServiceModuleTest, EmbeddedLocalServerEndsByItselfOnlyAfterClientsRelease) {
    ConfigureStore();
    ServiceModule module(MakeRegistry(), Quick());
    auto result = RunAsync(module, false, true);
    ASSERT_TRUE(WaitUntilRunning(module));
    // Nobody has connected: the server stays up.
    EXPECT_EQ(result.wait_for(200ms), std::future_status::timeout);
    module.Lock();
    module.Unlock();
    ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(result.get(), S_OK);
}

TEST_F(ServiceModuleTest, StartAndStopWorkersHappenOnce) {
    ServiceModule module(MakeRegistry(), Quick());
    EXPECT_EQ(module.StartWorkers(), S_OK);
    EXPECT_TRUE(module.Running());
    EXPECT_EQ(module.StartWorkers(), S_OK);
    EXPECT_TRUE(module.Running());
    module.StopWorkers();
    EXPECT_FALSE(module.Running());
    module.StopWorkers();
    EXPECT_FALSE(module.Running());
}

TEST_F(ServiceModuleTest, RouterCountFollowsDebugSwitchesThenConfiguration) {
    const Registry registry = MakeRegistry();
    ServiceModule module(registry, Quick());
    EXPECT_EQ(module.RouterCount(), kDefaultRouters);

    core::ServerConfig().Set("sys:routers", Variant::I4(7));
    EXPECT_EQ(module.RouterCount(), 7u);

    ASSERT_EQ(registry.SetDword(core::DebugKey(), "Routers", 2), S_OK);
    EXPECT_EQ(module.RouterCount(), 2u);

    ASSERT_EQ(registry.SetDword(core::DebugKey(), "NoRouters", 1), S_OK);
    EXPECT_EQ(module.RouterCount(), 0u);

    ASSERT_EQ(registry.SetDword(core::DebugKey(), "NoRouters", 0), S_OK);
    ASSERT_EQ(registry.SetDword(core::DebugKey(), "Routers", 0), S_OK);
    core::ServerConfig().Set("sys:routers", Variant::I4(100000));
    EXPECT_EQ(module.RouterCount(), kMaxRouters);
    core::ServerConfig().Set("sys:routers", Variant::I4(-3));
    EXPECT_EQ(module.RouterCount(), kDefaultRouters);

    EXPECT_TRUE(module.TransportsEnabled());
    ASSERT_EQ(registry.SetDword(core::DebugKey(), "NoTransports", 1), S_OK);
    EXPECT_FALSE(module.TransportsEnabled());
}

TEST_F(ServiceModuleTest, VersionTextHasFourNumbers) {
    const std::string version = ServiceModule::VersionText();
    EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 3) << version;
}

}  // namespace
}  // namespace pw::service
