#include "tests/sim/SimTestSupport.h"
#include "tests/sim/services/ZipWriterForTests.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QImage>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <libimobiledevice/file_relay.h>
#include <libimobiledevice/house_arrest.h>
#include <libimobiledevice/installation_proxy.h>
#include <libimobiledevice/mobilesync.h>
#include <libimobiledevice/notification_proxy.h>
#include <libimobiledevice/sbservices.h>
#include <plist/plist.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string DEMO = SimulatorFixture::DEMO_UDID;
const std::string LEGACY = SimulatorFixture::LEGACY_UDID;

/// One daemon with the demo (9.3.5) and legacy (8.2) phones for the whole suite: content
/// generation is the slow part, and every test below works on its own apps.
class DeviceServices : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_sim = new SimulatorFixture({ "demo", "legacy" });
        s_started = s_sim->start();
    }
    static void TearDownTestSuite()
    {
        delete s_sim;
        s_sim = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_started) << s_sim->lastError(); }

    static ProcessResult tool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 30s)
    {
        return runProcess(argv, timeout);
    }

    static std::vector<std::string> lines(const std::string& text)
    {
        std::vector<std::string> result;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }

    /// The app list as installation_proxy answers a Lookup, through libimobiledevice.
    static std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> diskUsages(const std::string& udid)
    {
        std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> usages;
        LibClient client(udid);
        instproxy_client_t proxy = nullptr;
        if (instproxy_client_start_service(client.device(), &proxy, "tests") != INSTPROXY_E_SUCCESS) {
            return usages;
        }
        plist_t result = nullptr;
        if (instproxy_lookup(proxy, nullptr, nullptr, &result) == INSTPROXY_E_SUCCESS && result) {
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(result, &it);
            char* key = nullptr;
            plist_t app = nullptr;
            for (plist_dict_next_item(result, it, &key, &app); app; plist_dict_next_item(result, it, &key, &app)) {
                std::uint64_t staticUsage = 0;
                std::uint64_t dynamicUsage = 0;
                plist_get_uint_val(plist_dict_get_item(app, "StaticDiskUsage"), &staticUsage);
                plist_get_uint_val(plist_dict_get_item(app, "DynamicDiskUsage"), &dynamicUsage);
                usages[key] = { staticUsage, dynamicUsage };
                free(key);
                key = nullptr;
            }
            free(it);
        }
        plist_free(result);
        instproxy_client_free(proxy);
        return usages;
    }

    static std::uint64_t freeBytes(const std::string& udid)
    {
        LibClient client(udid);
        afc_client_t afc = client.startAfc();
        return afc ? std::stoull(afcDeviceInfo(afc)["FSFreeBytes"]) : 0;
    }

    static SimulatorFixture* s_sim;
    static bool s_started;
};

SimulatorFixture* DeviceServices::s_sim = nullptr;
bool DeviceServices::s_started = false;

} // namespace

TEST_F(DeviceServices, InstallerListsTheProfilesApps)
{
    const auto user = tool({ "ideviceinstaller", "-u", DEMO, "-l" });
    ASSERT_EQ(user.exitCode, 0) << user.err;
    const auto userLines = lines(user.out);
    ASSERT_FALSE(userLines.empty());
    EXPECT_EQ(userLines.front(), "CFBundleIdentifier, CFBundleVersion, CFBundleDisplayName");
    EXPECT_EQ(userLines.size(), 1u + 40u) << "every user app of the demo profile, over several pages";
    EXPECT_NE(user.out.find("com.lumenworks.fotoframe, \""), std::string::npos);
    EXPECT_EQ(user.out.find("com.apple.mobilesafari"), std::string::npos);
    // An app without a display name is listed under its identifier.
    EXPECT_NE(user.out.find("com.ledgerly.pocketledger, \""), std::string::npos);
    EXPECT_NE(user.out.find("\"com.ledgerly.pocketledger\"\n"), std::string::npos);

    const auto all = tool({ "ideviceinstaller", "-u", DEMO, "-l", "-o", "list_all" });
    ASSERT_EQ(all.exitCode, 0) << all.err;
    EXPECT_EQ(lines(all.out).size(), 1u + 40u + 14u);
    EXPECT_NE(all.out.find("com.apple.mobilesafari, \"9.3.5\", \"Safari\""), std::string::npos);

    const auto system = tool({ "ideviceinstaller", "-u", DEMO, "-l", "-o", "list_system" });
    ASSERT_EQ(system.exitCode, 0) << system.err;
    EXPECT_EQ(lines(system.out).size(), 1u + 14u);
    EXPECT_EQ(system.out.find("com.lumenworks"), std::string::npos);
}

TEST_F(DeviceServices, UninstallRemovesAppAndGivesSpaceBack)
{
    const std::string id = "com.brightwire.chatterbox";
    const auto usages = diskUsages(DEMO);
    ASSERT_EQ(usages.count(id), 1u);
    const std::uint64_t appBytes = usages.at(id).first + usages.at(id).second;
    EXPECT_GT(usages.at(id).first, 1'000'000u);
    const std::uint64_t before = freeBytes(DEMO);
    ASSERT_GT(before, 0u);

    // Someone waits for the device's announcement meanwhile. A sentinel posted on the same
    // connection comes back only after the observations before it are in place.
    LibClient watcher(DEMO);
    np_client_t proxy = nullptr;
    ASSERT_EQ(np_client_start_service(watcher.device(), &proxy, "tests"), NP_E_SUCCESS);
    static std::mutex seenMutex;
    static std::vector<std::string> seen;
    ASSERT_EQ(np_set_notify_callback(
                  proxy,
                  [](const char* name, void*) {
                      std::lock_guard lock(seenMutex);
                      seen.emplace_back(name ? name : "");
                  },
                  nullptr),
        NP_E_SUCCESS);
    auto hasSeen = [](const char* name) {
        std::lock_guard lock(seenMutex);
        return std::find(seen.begin(), seen.end(), name) != seen.end();
    };
    ASSERT_EQ(np_observe_notification(proxy, "com.apple.mobile.application_uninstalled"), NP_E_SUCCESS);
    ASSERT_EQ(np_observe_notification(proxy, "com.example.torvane.sentinel"), NP_E_SUCCESS);
    ASSERT_EQ(np_post_notification(proxy, "com.example.torvane.sentinel"), NP_E_SUCCESS);
    ASSERT_TRUE(waitUntil([&] { return hasSeen("com.example.torvane.sentinel"); }, 10s));

    const auto result = tool({ "ideviceinstaller", "-u", DEMO, "-U", id });
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("Uninstall: RemovingApplication (50%)"), std::string::npos);
    EXPECT_NE(result.out.find("Uninstall: Complete"), std::string::npos);

    const auto list = tool({ "ideviceinstaller", "-u", DEMO, "-l" });
    EXPECT_EQ(list.out.find(id), std::string::npos);
    EXPECT_EQ(freeBytes(DEMO) - before, appBytes);
    // The reader thread delivers about one message a second.
    EXPECT_TRUE(waitUntil([&] { return hasSeen("com.apple.mobile.application_uninstalled"); }, 10s));
    np_client_free(proxy);

    // System apps stay.
    const auto refused = tool({ "ideviceinstaller", "-u", DEMO, "-U", "com.apple.mobilesafari" });
    EXPECT_EQ(refused.exitCode, 128);
    EXPECT_NE(refused.err.find("UninstallProhibited"), std::string::npos) << refused.err;
}

TEST_F(DeviceServices, ScreenshotIsARealImageInTheErasFormat)
{
    TemporaryDirectory folder;
    const auto png = tool({ "idevicescreenshot", "-u", DEMO, (folder.path() / "demo.png").string() });
    ASSERT_EQ(png.exitCode, 0) << png.out << png.err;
    QImage image;
    ASSERT_TRUE(image.load(QString::fromStdString((folder.path() / "demo.png").string())));
    EXPECT_EQ(image.size(), QSize(750, 1334));
    // Not one flat colour: a home screen with icons.
    EXPECT_NE(image.pixel(10, 10), image.pixel(image.width() / 2, image.height() - 60));

    // 8.2 still sent uncompressed big-endian TIFF; the tool names the file by its magic.
    const auto tiff = tool({ "idevicescreenshot", "-u", LEGACY, (folder.path() / "legacy.tiff").string() });
    ASSERT_EQ(tiff.exitCode, 0) << tiff.out << tiff.err;
    std::ifstream in(folder.path() / "legacy.tiff", std::ios::binary);
    std::string header(4, '\0');
    in.read(header.data(), 4);
    EXPECT_EQ(header, std::string("MM\0*", 4));
    EXPECT_GT(fs::file_size(folder.path() / "legacy.tiff"), 750u * 1334u * 3u);
}

TEST_F(DeviceServices, SyslogShowsWhatAnotherClientDoes)
{
    RunningProcess syslog({ "stdbuf", "-oL", "idevicesyslog", "-u", DEMO });
    ASSERT_TRUE(syslog.waitForOutput("[connected]", 20s)) << syslog.output;
    // Another client works on the device; its doings show up in the log.
    const auto list = tool({ "ideviceinstaller", "-u", DEMO, "-l" });
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_TRUE(syslog.waitForOutput("installd[58] <Notice>:", 20s)) << syslog.output;
    EXPECT_TRUE(syslog.waitForOutput("Browsing", 20s)) << syslog.output;
    // Records carry the standard layout: spaces at 3, 6 and 15 of each line.
    const std::string text = syslog.output;
    const std::size_t line = text.find('\n', text.find("[connected]")) + 1;
    ASSERT_LT(line + 16, text.size());
    EXPECT_EQ(text[line + 3], ' ');
    EXPECT_EQ(text[line + 6], ' ');
    EXPECT_EQ(text[line + 15], ' ');
}

TEST_F(DeviceServices, PostedNotificationReachesObserver)
{
    // Line-buffered, so the observer's lines can be read while it runs.
    RunningProcess observer(
        { "stdbuf", "-oL", "idevicenotificationproxy", "-u", DEMO, "observe", "com.example.torvane.ping" });
    ASSERT_TRUE(observer.waitForOutput("! observing \"com.example.torvane.ping\"", 20s)) << observer.output;
    // The observation may still be on its way to the device: post until it is relayed.
    const bool relayed = waitUntil(
        [&] {
            const auto post = tool({ "idevicenotificationproxy", "-u", DEMO, "post", "com.example.torvane.ping" }, 10s);
            EXPECT_EQ(post.exitCode, 0) << post.err;
            return observer.waitForOutput("> com.example.torvane.ping", 2s);
        },
        30s);
    EXPECT_TRUE(relayed) << observer.output;
}

TEST_F(DeviceServices, HouseArrestRefusesAndAllowsByEra)
{
    struct Row
    {
        std::string udid;
        const char* command;
        const char* identifier;
        bool allowed;
    };
    // Demo (9.3.5): only developer installs get their container, file sharing gets Documents.
    // Legacy (8.2): any user app. Never system apps or unknown identifiers.
    const Row rows[] = {
        { DEMO, "VendContainer", "com.lumenworks.fotoframe", false },
        { DEMO, "VendDocuments", "com.lumenworks.fotoframe", false },
        { DEMO, "VendDocuments", "com.metromaps.metromaps", true }, // file sharing
        { DEMO, "VendContainer", "com.metromaps.metromaps", false },
        { DEMO, "VendContainer", "com.skyline.skylineweather", true }, // developer-signed
        { DEMO, "VendContainer", "com.apple.mobilesafari", false },
        { DEMO, "VendContainer", "com.example.missing", false },
        { LEGACY, "VendContainer", "com.lumenworks.fotoframe", true },
        { LEGACY, "VendDocuments", "net.pathfinders.trailmix", true },
        { LEGACY, "VendContainer", "com.apple.mobilesafari", false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.udid + " " + row.command + " " + row.identifier);
        LibClient client(row.udid);
        house_arrest_client_t arrest = nullptr;
        ASSERT_EQ(house_arrest_client_start_service(client.device(), &arrest, "tests"), HOUSE_ARREST_E_SUCCESS);
        ASSERT_EQ(house_arrest_send_command(arrest, row.command, row.identifier), HOUSE_ARREST_E_SUCCESS);
        plist_t result = nullptr;
        ASSERT_EQ(house_arrest_get_result(arrest, &result), HOUSE_ARREST_E_SUCCESS);
        char* error = nullptr;
        char* status = nullptr;
        plist_get_string_val(plist_dict_get_item(result, "Error"), &error);
        plist_get_string_val(plist_dict_get_item(result, "Status"), &status);
        if (row.allowed) {
            EXPECT_STREQ(status, "Complete");
            afc_client_t afc = nullptr;
            ASSERT_EQ(afc_client_new_from_house_arrest_client(arrest, &afc), AFC_E_SUCCESS);
            afc_error_t listError = AFC_E_SUCCESS;
            const auto names = afcList(afc, "/Documents", &listError);
            EXPECT_EQ(listError, AFC_E_SUCCESS);
            EXPECT_GE(names.size(), 2u);
            // A documents vend shows Documents and nothing beside it; a container vend shows all.
            const bool documentsOnly = std::string(row.command) == "VendDocuments";
            const auto top = afcList(afc, "/", &listError);
            EXPECT_EQ(listError, AFC_E_SUCCESS);
            EXPECT_EQ(std::count(top.begin(), top.end(), "Library"), documentsOnly ? 0 : 1);
            EXPECT_EQ(std::count(top.begin(), top.end(), "Documents"), 1);
            afcList(afc, "/Library", &listError);
            EXPECT_EQ(listError, documentsOnly ? AFC_E_PERM_DENIED : AFC_E_SUCCESS);
            afcList(afc, "/Documents/../Library/Preferences", &listError);
            EXPECT_EQ(listError, documentsOnly ? AFC_E_PERM_DENIED : AFC_E_SUCCESS);
            afc_client_free(afc);
        } else {
            EXPECT_STREQ(error, "InstallationLookupFailed");
        }
        free(error);
        free(status);
        plist_free(result);
        house_arrest_client_free(arrest);
    }
}

TEST_F(DeviceServices, SpringBoardGivesDistinctIconsAndIconState)
{
    LibClient client(DEMO);
    sbservices_client_t springboard = nullptr;
    ASSERT_EQ(sbservices_client_start_service(client.device(), &springboard, "tests"), SBSERVICES_E_SUCCESS);
    std::vector<std::string> icons;
    for (const char* id : { "com.lumenworks.fotoframe", "net.pathfinders.trailmix", "com.apple.mobilesafari" }) {
        char* data = nullptr;
        uint64_t size = 0;
        ASSERT_EQ(sbservices_get_icon_pngdata(springboard, id, &data, &size), SBSERVICES_E_SUCCESS) << id;
        icons.emplace_back(data, size);
        free(data);
        QImage image;
        ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(icons.back().data()), int(icons.back().size())));
        EXPECT_EQ(image.width(), image.height());
    }
    EXPECT_NE(icons[0], icons[1]);
    EXPECT_NE(icons[1], icons[2]);

    plist_t state = nullptr;
    ASSERT_EQ(sbservices_get_icon_state(springboard, &state, "2"), SBSERVICES_E_SUCCESS);
    ASSERT_EQ(plist_get_node_type(state), PLIST_ARRAY);
    ASSERT_GE(plist_array_get_size(state), 2u);
    plist_t dock = plist_array_get_item(state, 0);
    ASSERT_EQ(plist_get_node_type(dock), PLIST_ARRAY);
    ASSERT_GT(plist_array_get_size(dock), 0u);
    char* identifier = nullptr;
    plist_get_string_val(plist_dict_get_item(plist_array_get_item(dock, 0), "displayIdentifier"), &identifier);
    ASSERT_NE(identifier, nullptr);
    EXPECT_GT(std::strlen(identifier), 4u);
    free(identifier);
    plist_free(state);
    sbservices_client_free(springboard);
}

TEST_F(DeviceServices, FileRelaySendsGzipCpioOrRefuses)
{
    TemporaryDirectory folder;
    {
        LibClient client(DEMO);
        file_relay_client_t relay = nullptr;
        ASSERT_EQ(file_relay_client_start_service(client.device(), &relay, "tests"), FILE_RELAY_E_SUCCESS);
        const char* sources[] = { "AppleSupport", "Network", nullptr };
        idevice_connection_t connection = nullptr;
        ASSERT_EQ(file_relay_request_sources(relay, sources, &connection), FILE_RELAY_E_SUCCESS);
        std::string archive;
        char buffer[65536];
        uint32_t received = 0;
        while (
            idevice_connection_receive_timeout(connection, buffer, sizeof buffer, &received, 5000) == IDEVICE_E_SUCCESS
            && received > 0) {
            archive.append(buffer, received);
        }
        file_relay_client_free(relay);
        ASSERT_GT(archive.size(), 20u);
        EXPECT_EQ(archive.substr(0, 2), "\x1F\x8B");
        std::ofstream(folder.path() / "relay.cpio.gz", std::ios::binary) << archive;
    }
    const auto unpacked = runProcess({ "gzip", "-dc", (folder.path() / "relay.cpio.gz").string() }, 20s);
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.err;
    EXPECT_EQ(unpacked.out.substr(0, 6), "070701");
    EXPECT_NE(unpacked.out.find("./private/var/logs/AppleSupport/general.log"), std::string::npos);
    EXPECT_NE(unpacked.out.find("com.apple.wifi.plist"), std::string::npos);

    LibClient client(DEMO);
    file_relay_client_t relay = nullptr;
    ASSERT_EQ(file_relay_client_start_service(client.device(), &relay, "tests"), FILE_RELAY_E_SUCCESS);
    const char* unknown[] = { "AppleSupport", "NoSuchSource", nullptr };
    idevice_connection_t connection = nullptr;
    EXPECT_EQ(file_relay_request_sources(relay, unknown, &connection), FILE_RELAY_E_INVALID_SOURCE);
    file_relay_client_free(relay);
}

TEST_F(DeviceServices, ArchiveCommandsExistOnlyBeforeIos9)
{
    const std::string id = "com.skyline.skylineweather";
    const auto refused = tool({ "ideviceinstaller", "-u", DEMO, "-a", id });
    EXPECT_EQ(refused.exitCode, 128);
    EXPECT_NE(refused.err.find("UnknownCommand"), std::string::npos) << refused.out << refused.err;

    const std::uint64_t before = freeBytes(LEGACY);
    const auto archived = tool({ "ideviceinstaller", "-u", LEGACY, "-a", id, "-o", "uninstall" });
    ASSERT_EQ(archived.exitCode, 0) << archived.out << archived.err;
    EXPECT_NE(archived.out.find("Archive: Complete"), std::string::npos);
    EXPECT_EQ(tool({ "ideviceinstaller", "-u", LEGACY, "-l" }).out.find(id), std::string::npos) << "uninstalled";
    EXPECT_GT(freeBytes(LEGACY), before) << "the data went, the archive holds only the bundle";
    const auto again = tool({ "ideviceinstaller", "-u", LEGACY, "-a", id });
    EXPECT_EQ(again.exitCode, 128) << "no longer installed";

    const auto archives = tool({ "ideviceinstaller", "-u", LEGACY, "-L" });
    EXPECT_NE(archives.out.find(id), std::string::npos) << archives.out << archives.err;
    const auto restored = tool({ "ideviceinstaller", "-u", LEGACY, "-r", id });
    ASSERT_EQ(restored.exitCode, 0) << restored.out << restored.err;
    EXPECT_NE(tool({ "ideviceinstaller", "-u", LEGACY, "-l" }).out.find(id), std::string::npos) << "restored";
    const auto removed = tool({ "ideviceinstaller", "-u", LEGACY, "-R", id });
    ASSERT_EQ(removed.exitCode, 0) << removed.out << removed.err;
    EXPECT_EQ(tool({ "ideviceinstaller", "-u", LEGACY, "-L" }).out.find(id), std::string::npos);
}

TEST_F(DeviceServices, InstallsAndUpgradesAnAppFolder)
{
    TemporaryDirectory folder;
    auto writeApp = [&](const std::string& version) {
        const fs::path app = folder.path() / version / "Hello.app";
        fs::create_directories(app);
        std::ofstream(app / "Info.plist") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                             "<key>CFBundleIdentifier</key><string>com.example.torvane.hello</string>"
                                             "<key>CFBundleExecutable</key><string>Hello</string>"
                                             "<key>CFBundleDisplayName</key><string>Hello</string>"
                                             "<key>CFBundleVersion</key><string>"
                                          << version << "</string></dict></plist>\n";
        std::ofstream(app / "Hello", std::ios::binary) << std::string(300'000, 'x');
        return app.string();
    };
    const auto installed = tool({ "ideviceinstaller", "-u", DEMO, "-i", writeApp("1") }, 60s);
    ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    EXPECT_NE(installed.out.find("Install: Complete"), std::string::npos) << installed.out;
    EXPECT_NE(tool({ "ideviceinstaller", "-u", DEMO, "-l" }).out.find("com.example.torvane.hello, \"1\", \"Hello\""),
        std::string::npos);
    const auto usages = diskUsages(DEMO);
    ASSERT_EQ(usages.count("com.example.torvane.hello"), 1u);
    EXPECT_GE(usages.at("com.example.torvane.hello").first, 300'000u);

    const auto upgraded = tool({ "ideviceinstaller", "-u", DEMO, "-g", writeApp("2") }, 60s);
    ASSERT_EQ(upgraded.exitCode, 0) << upgraded.out << upgraded.err;
    const auto list = tool({ "ideviceinstaller", "-u", DEMO, "-l" });
    EXPECT_NE(list.out.find("com.example.torvane.hello, \"2\", \"Hello\""), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("com.example.torvane.hello, \"1\""), std::string::npos);

    // A folder without an executable is refused, and nothing is listed for it.
    const fs::path broken = folder.path() / "broken" / "Broken.app";
    fs::create_directories(broken);
    std::ofstream(broken / "Info.plist") << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                            "<key>CFBundleIdentifier</key><string>com.example.broken</string>"
                                            "<key>CFBundleExecutable</key><string>Broken</string></dict></plist>";
    const auto refused = tool({ "ideviceinstaller", "-u", DEMO, "-i", broken.string() }, 60s);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("MissingBundleExecutable"), std::string::npos) << refused.out << refused.err;
    EXPECT_EQ(tool({ "ideviceinstaller", "-u", DEMO, "-l" }).out.find("com.example.broken"), std::string::npos);
}

TEST_F(DeviceServices, LookupHonoursIdentifiersTypesAndAttributes)
{
    LibClient client(DEMO);
    instproxy_client_t proxy = nullptr;
    ASSERT_EQ(instproxy_client_start_service(client.device(), &proxy, "tests"), INSTPROXY_E_SUCCESS);
    const char* ids[] = { "com.lumenworks.fotoframe", "com.apple.mobilesafari", "com.example.missing", nullptr };
    plist_t options = instproxy_client_options_new();
    instproxy_client_options_set_return_attributes(options, "CFBundleIdentifier", "StaticDiskUsage", nullptr);
    plist_t result = nullptr;
    ASSERT_EQ(instproxy_lookup(proxy, ids, options, &result), INSTPROXY_E_SUCCESS);
    ASSERT_EQ(plist_dict_get_size(result), 2u) << "unknown identifiers are simply absent";
    plist_t app = plist_dict_get_item(result, "com.lumenworks.fotoframe");
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(plist_dict_get_size(app), 2u) << "only the attributes asked for";
    EXPECT_NE(plist_dict_get_item(app, "StaticDiskUsage"), nullptr);
    plist_free(result);

    instproxy_client_options_add(options, "ApplicationType", "System", nullptr);
    result = nullptr;
    ASSERT_EQ(instproxy_lookup(proxy, ids, options, &result), INSTPROXY_E_SUCCESS);
    EXPECT_EQ(plist_dict_get_size(result), 1u);
    EXPECT_NE(plist_dict_get_item(result, "com.apple.mobilesafari"), nullptr);
    plist_free(result);
    instproxy_client_options_free(options);

    // Browse with every attribute: containers and disk usages are there for user apps.
    plist_t browseOptions = instproxy_client_options_new();
    instproxy_client_options_add(browseOptions, "ApplicationType", "User", nullptr);
    plist_t apps = nullptr;
    ASSERT_EQ(instproxy_browse(proxy, browseOptions, &apps), INSTPROXY_E_SUCCESS);
    ASSERT_GE(plist_array_get_size(apps), 38u);
    for (uint32_t i = 0; i < plist_array_get_size(apps); ++i) {
        plist_t item = plist_array_get_item(apps, i);
        char* type = nullptr;
        plist_get_string_val(plist_dict_get_item(item, "ApplicationType"), &type);
        EXPECT_STREQ(type, "User");
        free(type);
        EXPECT_NE(plist_dict_get_item(item, "Container"), nullptr);
        EXPECT_NE(plist_dict_get_item(item, "DynamicDiskUsage"), nullptr);
    }
    plist_free(apps);
    instproxy_client_options_free(browseOptions);
    instproxy_client_free(proxy);
}

TEST_F(DeviceServices, MobileSyncShakesHandsAndAnswersEveryMessage)
{
    LibClient client(DEMO);
    mobilesync_client_t sync = nullptr;
    ASSERT_EQ(mobilesync_client_start_service(client.device(), &sync, "tests"), MOBILESYNC_E_SUCCESS);
    mobilesync_anchors_t anchors = mobilesync_anchors_new(nullptr, "2024-06-01 12:00:00 +0000");
    mobilesync_sync_type_t type = MOBILESYNC_SYNC_TYPE_FAST;
    uint64_t deviceVersion = 0;
    char* description = nullptr;
    ASSERT_EQ(mobilesync_start(sync, "com.apple.Contacts", anchors, 106, &type, &deviceVersion, &description),
        MOBILESYNC_E_SUCCESS)
        << (description ? description : "");
    EXPECT_EQ(type, MOBILESYNC_SYNC_TYPE_SLOW) << "no anchors yet";
    EXPECT_EQ(deviceVersion, 106u);
    ASSERT_EQ(mobilesync_get_all_records_from_device(sync), MOBILESYNC_E_SUCCESS);
    plist_t entities = nullptr;
    plist_t actions = nullptr;
    uint8_t last = 0;
    ASSERT_EQ(mobilesync_receive_changes(sync, &entities, &last, &actions), MOBILESYNC_E_SUCCESS);
    EXPECT_EQ(last, 1);
    plist_free(entities);
    plist_free(actions);
    EXPECT_EQ(mobilesync_finish(sync), MOBILESYNC_E_SUCCESS);

    // A data class the device does not keep is refused, not left hanging.
    free(description);
    description = nullptr;
    EXPECT_EQ(mobilesync_start(sync, "com.example.Unknown", anchors, 1, &type, &deviceVersion, &description),
        MOBILESYNC_E_SYNC_REFUSED);
    free(description);
    mobilesync_anchors_free(anchors);
    mobilesync_client_free(sync);
}

TEST_F(DeviceServices, InstallsAnIpaAndRefusesEscapingEntries)
{
    TemporaryDirectory folder;
    const std::string info = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                             "<key>CFBundleIdentifier</key><string>com.example.torvane.packaged</string>"
                             "<key>CFBundleExecutable</key><string>Packaged</string>"
                             "<key>CFBundleDisplayName</key><string>Packaged</string>"
                             "<key>CFBundleVersion</key><string>7</string></dict></plist>\n";
    const fs::path ipa = folder.path() / "Packaged.ipa";
    std::ofstream(ipa, std::ios::binary) << zipArchive(
        { { "Payload/", "", false }, { "Payload/Packaged.app/Info.plist", info, true },
            { "Payload/Packaged.app/Packaged", std::string(200'000, '\x11'), true } });
    const auto installed = tool({ "ideviceinstaller", "-u", DEMO, "-i", ipa.string() }, 60s);
    ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    EXPECT_NE(installed.out.find("Install: Complete"), std::string::npos) << installed.out;
    EXPECT_NE(
        tool({ "ideviceinstaller", "-u", DEMO, "-l" }).out.find("com.example.torvane.packaged, \"7\", \"Packaged\""),
        std::string::npos);

    const fs::path evil = folder.path() / "Evil.ipa";
    std::ofstream(evil, std::ios::binary) << zipArchive(
        { { "Payload/Evil.app/Info.plist", std::string(info).replace(info.find("packaged"), 8, "evil"), false },
            { "Payload/Evil.app/../../../../escaped", "x", false } });
    const auto refused = tool({ "ideviceinstaller", "-u", DEMO, "-i", evil.string() }, 60s);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("PackageExtractionFailed"), std::string::npos) << refused.out << refused.err;
    EXPECT_FALSE(fs::exists(s_sim->deviceRoot(DEMO) / "private/var/mobile/escaped"));
    EXPECT_FALSE(fs::exists(s_sim->deviceRoot(DEMO) / "private/var/escaped"));
}
