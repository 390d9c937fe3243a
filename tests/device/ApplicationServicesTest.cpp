#include "base/Log.h"
#include "device/AMDevice.h"
#include "device/AMInstallationProxy.h"
#include "device/AMServiceFrame.h"
#include "tests/device/ScriptedMobileDevice.h"

#include <gtest/gtest.h>

namespace {

PlistDictionary appInfo(const std::string& bundleId, const std::string& type, PlistDictionary extra = {})
{
    extra["CFBundleIdentifier"] = bundleId;
    extra["ApplicationType"] = type;
    return extra;
}

/// The frames a client sent, decoded.

struct CountingDelegate : AMServiceDelegate
{
    void operationStarted(const PlistValue&) override { ++started; }
    void operationContinues(const PlistValue&) override { ++continues; }
    void operationCompleted(const PlistValue&) override { ++completed; }
    int started = 0;
    int continues = 0;
    int completed = 0;
};

} // namespace

TEST(AMApplication, DisplayNameFallsBackInOrder)
{
    struct Case
    {
        const char* label;
        PlistDictionary info;
        std::string expected;
    };
    const std::vector<Case> cases {
        { "display name wins", { { "CFBundleDisplayName", "Maps" }, { "CFBundleName", "MapsKit" } }, "Maps" },
        { "empty display name falls to name",
            { { "CFBundleDisplayName", "" }, { "CFBundleName", "Notes" }, { "CFBundleExecutable", "NotesX" } },
            "Notes" },
        { "empty display name, no name: executable", { { "CFBundleDisplayName", "" }, { "CFBundleExecutable", "Run" } },
            "Run" },
        { "empty name is used as it is", { { "CFBundleName", "" }, { "CFBundleExecutable", "Run" } }, "" },
        { "nothing at all", {}, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(AMApplication(c.info).appname(), c.expected);
    }
}

TEST(AMApplication, KeysDescriptionAndOrder)
{
    const AMApplication app(appInfo("com.example.Chess", "User",
        { { "CFBundleDisplayName", "chess" }, { "Container", "/private/var/mobile/Containers/X" } }));
    EXPECT_EQ(app.valueForKey("appname"), PlistValue("chess"));
    EXPECT_EQ(app.valueForKey("bundleid"), PlistValue("com.example.Chess"));
    EXPECT_EQ(app.valueForKey("ApplicationType"), PlistValue("User"));
    EXPECT_TRUE(app.valueForKey("CFBundleVersion").isNull()); // the null marker, not a missing value
    EXPECT_EQ(app.appdir(), "/private/var/mobile/Containers/X");
    EXPECT_EQ(app.description(), "<AMApplication name=chess id=com.example.Chess>");

    const AMApplication upper(appInfo("com.other", "User", { { "CFBundleDisplayName", "CHESS" } }));
    const AMApplication later(appInfo("com.b", "User", { { "CFBundleDisplayName", "Chessboard" } }));
    EXPECT_TRUE(app == upper);
    EXPECT_LT(app.compare(later), 0);
    EXPECT_GT(later.compare(upper), 0);
}

struct DeviceApps : ::testing::Test
{
    void SetUp() override
    {
        handle = library.makeDevice("00008110-0011223344556677", "Ada's iPhone");
        device = AMDevice::deviceFrom(handle, library);
        ASSERT_TRUE(device);
        library.calls.clear();
    }
    ScriptedMobileDevice library;
    std::shared_ptr<ScriptedMobileDevice::Handle> handle;
    std::shared_ptr<AMDevice> device;
};

TEST_F(DeviceApps, OnlySystemAppsGiveAnEmptyList)
{
    library.applications = { { "com.apple.Maps", appInfo("com.apple.Maps", "System") },
        { "com.apple.Notes", appInfo("com.apple.Notes", "System") } };
    const auto apps = device->installedApplications();
    ASSERT_TRUE(apps.has_value());
    EXPECT_TRUE(apps->empty());
    EXPECT_EQ(library.countOf("AMDeviceStopSession"), 1);
    EXPECT_EQ(library.countOf("AMDeviceDisconnect"), 1);
}

TEST_F(DeviceApps, UserAppsBecomeRecords)
{
    library.applications = { { "com.apple.Maps", appInfo("com.apple.Maps", "System") },
        { "com.example.a", appInfo("com.example.a", "User", { { "CFBundleName", "A" } }) },
        { "com.example.b", appInfo("com.example.b", "User", { { "CFBundleName", "B" } }) } };
    const auto apps = device->installedApplications();
    ASSERT_TRUE(apps.has_value());
    ASSERT_EQ(apps->size(), 2u);
    EXPECT_EQ((*apps)[0].bundleid(), "com.example.a");
    EXPECT_EQ((*apps)[1].appname(), "B");

    // The single lookup takes any type.
    const auto maps = device->installedApplicationWithId("com.apple.Maps");
    ASSERT_TRUE(maps.has_value());
    EXPECT_EQ(maps->bundleid(), "com.apple.Maps");
    EXPECT_FALSE(device->installedApplicationWithId("com.example.missing").has_value());
}

TEST_F(DeviceApps, FailedLookupGivesNothingAndTheStatusText)
{
    library.applications = { { "com.example.a", appInfo("com.example.a", "User") } };
    library.setStatus("AMDeviceLookupApplications", AMDStatus::ServiceProhibitedError);
    EXPECT_FALSE(device->installedApplications().has_value());
    EXPECT_EQ(device->lasterror(), "AMDeviceLookupApplications failed: e8000024");
    EXPECT_EQ(library.countOf("AMDeviceStopSession"), 1); // the bracket is closed all the same
    EXPECT_EQ(library.countOf("AMDeviceDisconnect"), 1);
    EXPECT_FALSE(device->installedApplicationWithId("com.example.a").has_value());
}

TEST_F(DeviceApps, SessionRefusedGivesNothingWithoutLookup)
{
    library.setStatus("AMDeviceStartSession", AMDStatus::InvalidHostIDError);
    EXPECT_FALSE(device->installedApplications().has_value());
    EXPECT_EQ(library.countOf("AMDeviceLookupApplications"), 0);
    EXPECT_EQ(device->lasterror(), "AMDeviceStartSession failed: e800001c");
}

TEST_F(DeviceApps, ReturnAttributesDefaultAndReplaced)
{
    const PlistDictionary defaults = device->defaultReturnAttributes();
    const PlistArray* names = defaults.at("ReturnAttributes").asArray();
    ASSERT_TRUE(names);
    ASSERT_EQ(names->size(), 15u);
    EXPECT_EQ(names->front(), PlistValue("CFBundleIdentifier"));
    EXPECT_EQ(names->back(), PlistValue("UIFileSharingEnabled"));

    device->setApplicationAttributes(std::vector<std::string> { "CFBundleIdentifier", "StaticDiskUsage" });
    EXPECT_EQ(device->defaultReturnAttributes(),
        (PlistDictionary { { "ReturnAttributes", PlistArray { "CFBundleIdentifier", "StaticDiskUsage" } } }));
}

TEST_F(DeviceApps, FactoriesCloseTheBracket)
{
    CountingDelegate delegate;
    auto proxy = device->newAMInstallationProxyWithDelegate(&delegate);
    ASSERT_TRUE(proxy);
    EXPECT_EQ(proxy->delegate(), &delegate);
    EXPECT_TRUE(device->newAMSpringboardServices());
    EXPECT_FALSE(device->isConnected());
    EXPECT_FALSE(device->isInSession());

    library.setStatus("AMDeviceStartService", AMDStatus::InvalidServiceError);
    EXPECT_FALSE(device->newAMSpringboardServices());
}

TEST(AMInstallationProxy, BrowseCollectsEveryListWhateverTheTotal)
{
    const std::vector<std::pair<const char*, std::optional<PlistValue>>> totals {
        { "no Total", std::nullopt },
        { "text Total", PlistValue("three") },
        { "Total too small", PlistValue(1) },
    };
    for (const auto& [label, total] : totals) {
        SCOPED_TRACE(label);
        ScriptedClient<AMInstallationProxy> proxy;
        CountingDelegate delegate;
        proxy.client->setDelegate(&delegate);
        PlistDictionary first { { "Status", "BrowsingApplications" },
            { "CurrentList", PlistArray { appInfo("a", "User"), appInfo("b", "System") } } };
        if (total) {
            first["Total"] = *total;
        }
        proxy.wire->addReply(first);
        proxy.wire->addReply(PlistDictionary {
            { "Status", "BrowsingApplications" }, { "CurrentList", PlistArray { appInfo("c", "User") } } });
        proxy.wire->addReply(PlistDictionary { { "Status", "Complete" } });

        const auto apps = proxy.client->browse();
        ASSERT_TRUE(apps.has_value());
        ASSERT_EQ(apps->size(), 3u);
        EXPECT_EQ((*apps)[2].bundleid(), "c");
        EXPECT_EQ(delegate.started, 1);
        EXPECT_EQ(delegate.continues, 3);
        EXPECT_EQ(delegate.completed, 1);
        EXPECT_EQ(sentMessages(proxy.wire->sent),
            std::vector<PlistValue> { PlistValue(PlistDictionary {
                { "Command", "Browse" }, { "ClientOptions", PlistDictionary { { "ApplicationType", "Any" } } } }) });
    }
}

TEST(AMInstallationProxy, BrowseFilterAndFailures)
{
    {
        ScriptedClient<AMInstallationProxy> proxy;
        proxy.wire->addReply(PlistDictionary { { "Status", "BrowsingApplications" }, { "Total", 2 },
            { "CurrentList", PlistArray { appInfo("a", "User"), appInfo("b", "System") } } });
        proxy.wire->addReply(PlistDictionary { { "Status", "Complete" } });
        const auto users = proxy.client->browseFiltered(
            [](const AMApplication& app) { return app.valueForKey("ApplicationType") == PlistValue("User"); });
        ASSERT_TRUE(users.has_value());
        ASSERT_EQ(users->size(), 1u);
        EXPECT_EQ(users->front().bundleid(), "a");
    }
    {
        SCOPED_TRACE("no reply at all");
        ScriptedClient<AMInstallationProxy> proxy;
        EXPECT_FALSE(proxy.client->browse().has_value());
    }
    {
        SCOPED_TRACE("connection ends mid-browse: a partial list is not every app");
        ScriptedClient<AMInstallationProxy> proxy;
        proxy.wire->addReply(PlistDictionary {
            { "Status", "BrowsingApplications" }, { "CurrentList", PlistArray { appInfo("a", "User") } } });
        EXPECT_FALSE(proxy.client->browse().has_value());
    }
    {
        SCOPED_TRACE("error reply");
        ScriptedClient<AMInstallationProxy> proxy;
        proxy.wire->addReply(PlistDictionary { { "Error", "DeviceLocked" } });
        EXPECT_FALSE(proxy.client->browse().has_value());
        EXPECT_EQ(proxy.client->lasterror(), "DeviceLocked");
    }
}

TEST(AMInstallationProxy, ArchiveTypesAndNeither)
{
    struct Case
    {
        bool container, payload, uninstall;
        const char* type;
    };
    for (const Case& c : { Case { true, true, false, "All" }, Case { true, false, true, "DocumentsOnly" },
             Case { false, true, false, "ApplicationOnly" } }) {
        SCOPED_TRACE(c.type);
        ScriptedClient<AMInstallationProxy> proxy;
        proxy.wire->addReply(PlistDictionary { { "Status", "Complete" } });
        EXPECT_TRUE(proxy.client->archive("com.example.a", c.container, c.payload, c.uninstall));
        EXPECT_EQ(sentMessages(proxy.wire->sent).at(0),
            PlistValue(PlistDictionary { { "Command", "Archive" }, { "ApplicationIdentifier", "com.example.a" },
                { "ClientOptions",
                    PlistDictionary { { "ArchiveType", c.type }, { "SkipUninstall", !c.uninstall } } } }));
    }
    ScriptedClient<AMInstallationProxy> proxy;
    proxy.wire->addReply(PlistDictionary { { "Status", "Complete" } });
    EXPECT_FALSE(proxy.client->archive("com.example.a", false, false, true));
    EXPECT_TRUE(proxy.wire->sent.empty());
}

TEST(AMInstallationProxy, CommandsAndTheirAnswers)
{
    {
        ScriptedClient<AMInstallationProxy> proxy;
        proxy.wire->addReply(PlistDictionary { { "Status", "RemovingApplication" }, { "PercentComplete", 50 } });
        proxy.wire->addReply(PlistDictionary { { "Status", "Complete" } });
        EXPECT_TRUE(proxy.client->uninstall("com.example.a"));
        EXPECT_EQ(sentMessages(proxy.wire->sent).at(0),
            PlistValue(PlistDictionary { { "Command", "Uninstall" }, { "ApplicationIdentifier", "com.example.a" },
                { "ClientOptions", PlistDictionary { { "PackageType", "Developer" } } } }));
    }
    {
        ScriptedClient<AMInstallationProxy> proxy;
        proxy.wire->addReply(PlistDictionary { { "Error", "APIInternalError" } });
        EXPECT_FALSE(proxy.client->uninstall("com.example.a"));
        EXPECT_EQ(proxy.client->lasterror(), "APIInternalError");
    }
    {
        SCOPED_TRACE("lookup without a type asks for Any");
        ScriptedClient<AMInstallationProxy> proxy;
        proxy.wire->addReply(PlistDictionary { { "Status", "Complete" },
            { "LookupResult", PlistDictionary { { "com.example.a", appInfo("com.example.a", "User") } } } });
        const auto found = proxy.client->lookupType(std::nullopt, "CFBundleIdentifier");
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->at("com.example.a").bundleid(), "com.example.a");
        EXPECT_EQ(sentMessages(proxy.wire->sent).at(0),
            PlistValue(PlistDictionary { { "Command", "Lookup" },
                { "ClientOptions",
                    PlistDictionary { { "ApplicationType", "Any" }, { "Attribute", "CFBundleIdentifier" } } } }));
    }
    {
        ScriptedClient<AMInstallationProxy> proxy;
        proxy.wire->addReply(PlistDictionary { { "Status", "Complete" },
            { "LookupResult", PlistDictionary { { "com.example.z", PlistDictionary {} } } } });
        EXPECT_EQ(proxy.client->archivedAppBundleIds(), (std::vector<std::string> { "com.example.z" }));
        EXPECT_EQ(
            sentMessages(proxy.wire->sent).at(0), PlistValue(PlistDictionary { { "Command", "LookupArchives" } }));
    }
}

TEST(AMSpringboardServices, IconNeedsPngBytes)
{
    const PlistData png { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 60, 0,
        0, 0, 60, 8, 6, 0, 0, 0, 1, 2, 3, 4 };
    EXPECT_EQ(pngDimensions(png), std::make_pair(60u, 60u));
    const std::vector<std::pair<const char*, std::optional<PlistValue>>> cases {
        { "no pngData", std::nullopt },
        { "not data", PlistValue("png") },
        { "not a PNG", PlistValue(PlistData { 'G', 'I', 'F', '8', '9', 'a' }) },
        { "valid", PlistValue(png) },
    };
    for (const auto& [label, data] : cases) {
        SCOPED_TRACE(label);
        ScriptedClient<AMSpringboardServices> springboard;
        PlistDictionary reply;
        if (data) {
            reply["pngData"] = *data;
        }
        springboard.wire->addReply(reply);
        const auto icon = springboard.client->getIcon("com.example.a");
        EXPECT_EQ(icon.has_value(), std::string(label) == "valid");
        EXPECT_EQ(sentMessages(springboard.wire->sent).at(0),
            PlistValue(PlistDictionary { { "command", "getIconPNGData" }, { "bundleId", "com.example.a" } }));
    }
}
