#include "base/PlistValue.h"
#include "sim/content/ContentGenerators.h"
#include "sim/content/ContentSettings.h"
#include "sim/content/ContentWriter.h"
#include "sim/content/SeededRandom.h"

#include <algorithm>
#include <set>

namespace ContentGenerators {

namespace {

    struct CatalogEntry
    {
        const char* name;
        const char* vendor;
        /// A share of what the app keeps in Library/Caches, relative to the profile's range:
        /// streaming and social apps cache far more than a calculator.
        double cacheWeight;
    };

    // Fictional store apps with plausible identifiers.
    constexpr CatalogEntry USER_CATALOG[] = {
        { "Fotoframe", "com.lumenworks", 0.6 },
        { "Chatterbox", "com.brightwire", 1.0 },
        { "Trailmix", "net.pathfinders", 0.4 },
        { "Pocket Ledger", "com.ledgerly", 0.1 },
        { "Skyline Weather", "com.skyline", 0.3 },
        { "Beatbox Radio", "fm.beatbox", 1.0 },
        { "Snapstory", "com.snapstory", 0.9 },
        { "Word Garden", "com.gardengames", 0.2 },
        { "Metro Maps", "com.metromaps", 0.5 },
        { "Recipe Box", "com.kitchenlab", 0.4 },
        { "Tidy Tasks", "com.tidysoft", 0.1 },
        { "Gym Buddy", "com.fitloop", 0.2 },
        { "NewsDesk", "com.newsdesk", 0.8 },
        { "Flix Stream", "tv.flixstream", 1.0 },
        { "Pixel Quest", "com.arcadia", 0.3 },
        { "Tiny Towers", "com.arcadia", 0.3 },
        { "Readly Books", "com.readly", 0.5 },
        { "Scan & Sign", "com.paperless", 0.2 },
        { "Podcatcher", "fm.podcatcher", 0.9 },
        { "Budget Pal", "com.ledgerly", 0.1 },
        { "Parkwhiz", "com.parkwhiz", 0.2 },
        { "Lingo Owl", "com.lingoowl", 0.4 },
        { "Sleep Sounds", "com.calmwave", 0.5 },
        { "Color Splash", "com.lumenworks", 0.3 },
        { "Ride Share", "com.ridesharing", 0.5 },
        { "Food Runner", "com.foodrunner", 0.5 },
        { "Bank of Elm", "com.bankofelm", 0.1 },
        { "Star Gazer", "com.nightsky", 0.3 },
        { "Chess Club", "com.boardgames", 0.1 },
        { "Sudoku Daily", "com.boardgames", 0.1 },
        { "Travel Diary", "net.pathfinders", 0.4 },
        { "Voice Notes", "com.tidysoft", 0.2 },
        { "Shopping List", "com.tidysoft", 0.1 },
        { "Mail Plus", "com.brightwire", 0.6 },
        { "Cloud Drive", "com.cloudvault", 0.7 },
        { "PDF Expert", "com.paperless", 0.3 },
        { "Karaoke Star", "fm.beatbox", 0.6 },
        { "Plant Care", "com.gardengames", 0.2 },
        { "Kids Draw", "com.arcadia", 0.2 },
        { "Run Tracker", "com.fitloop", 0.3 },
        { "Meme Maker", "com.snapstory", 0.5 },
        { "Flight Radar", "com.skyline", 0.4 },
        { "Hotel Finder", "com.travelnest", 0.5 },
        { "Guitar Tuner", "fm.beatbox", 0.1 },
        { "Translate Now", "com.lingoowl", 0.3 },
        { "Photo Collage", "com.lumenworks", 0.5 },
        { "Block Puzzle", "com.arcadia", 0.2 },
        { "Knit Count", "com.craftapps", 0.1 },
        { "Video Editor", "com.lumenworks", 0.8 },
        { "Password Safe", "com.cloudvault", 0.1 },
    };

    struct SystemEntry
    {
        const char* identifier;
        const char* name;
        const char* executable;
    };

    constexpr SystemEntry SYSTEM_CATALOG[] = {
        { "com.apple.mobilesafari", "Safari", "MobileSafari" },
        { "com.apple.mobileslideshow", "Photos", "MobileSlideShow" },
        { "com.apple.camera", "Camera", "Camera" },
        { "com.apple.mobilemail", "Mail", "MobileMail" },
        { "com.apple.MobileSMS", "Messages", "MobileSMS" },
        { "com.apple.Preferences", "Settings", "Preferences" },
        { "com.apple.mobilecal", "Calendar", "MobileCal" },
        { "com.apple.mobilenotes", "Notes", "MobileNotes" },
        { "com.apple.Maps", "Maps", "Maps" },
        { "com.apple.weather", "Weather", "Weather" },
        { "com.apple.mobiletimer", "Clock", "MobileTimer" },
        { "com.apple.calculator", "Calculator", "Calculator" },
        { "com.apple.AppStore", "App Store", "AppStore" },
        { "com.apple.Music", "Music", "Music" },
        { "com.apple.mobilephone", "Phone", "MobilePhone" },
        { "com.apple.MobileAddressBook", "Contacts", "Contacts" },
        { "com.apple.reminders", "Reminders", "Reminders" },
        { "com.apple.VoiceMemos", "Voice Memos", "VoiceMemos" },
    };

    std::string lowerIdentifierPart(std::string_view name)
    {
        std::string part;
        for (char c : name) {
            if (std::isalnum(static_cast<unsigned char>(c))) {
                part += char(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        return part;
    }

    std::string executableName(std::string_view name)
    {
        std::string executable;
        for (char c : name) {
            if (std::isalnum(static_cast<unsigned char>(c))) {
                executable += c;
            }
        }
        return executable;
    }

    std::string plistXml(const PlistValue& value)
    {
        return PlistCodec::toXml(value).value_or(std::string());
    }

    /// Seconds within [from, to], never after `to`.
    std::int64_t timeBetween(SeededRandom& random, std::int64_t from, std::int64_t to)
    {
        return random.between(std::min(from, to), to);
    }

    struct Layout
    {
        std::string bundleFolder; // holds <Name>.app (and iTunesMetadata.plist)
        std::string container; // data container
    };

    Layout layoutFor(const ContentSettings& settings, SeededRandom& random, bool system)
    {
        Layout layout;
        switch (settings.era.appLayout) {
        case AppLayout::SharedFolder:
            layout.bundleFolder = "/private/var/mobile/Applications/" + random.uuid();
            layout.container = system ? std::string() : layout.bundleFolder;
            break;
        case AppLayout::MobileContainers:
            layout.bundleFolder = "/private/var/mobile/Containers/Bundle/Application/" + random.uuid();
            layout.container = "/private/var/mobile/Containers/Data/Application/" + random.uuid();
            break;
        case AppLayout::Containers:
            layout.bundleFolder = "/private/var/containers/Bundle/Application/" + random.uuid();
            layout.container = "/private/var/mobile/Containers/Data/Application/" + random.uuid();
            break;
        }
        if (system) {
            layout.bundleFolder = "/Applications";
        }
        return layout;
    }

    /// Splits `total` bytes over `count` files, the first ones larger.
    std::vector<std::int64_t> splitBytes(SeededRandom& random, std::int64_t total, int count)
    {
        std::vector<std::int64_t> parts;
        std::int64_t left = total;
        for (int i = 0; i < count; ++i) {
            const std::int64_t part = i + 1 == count ? left : random.between(left / 4, left * 3 / 4);
            parts.push_back(part);
            left -= part;
        }
        return parts;
    }

    bool writeBundle(const ContentSettings& settings,
        ContentWriter& writer,
        SeededRandom& random,
        const AppRecord& app,
        std::int64_t bundleBytes,
        std::int64_t installTime)
    {
        const std::string& bundle = app.bundlePath;
        PlistDictionary info;
        info["CFBundleIdentifier"] = app.bundleIdentifier;
        if (app.displayName) {
            info["CFBundleDisplayName"] = *app.displayName;
        }
        info["CFBundleName"] = app.bundleName;
        info["CFBundleExecutable"] = app.executable;
        info["CFBundleVersion"] = app.bundleVersion;
        info["CFBundleShortVersionString"] = app.shortVersion;
        info["MinimumOSVersion"] = app.minimumOSVersion;
        info["CFBundlePackageType"] = "APPL";
        info["UIDeviceFamily"] = PlistArray { PlistValue(1) };
        if (app.fileSharingEnabled) {
            info["UIFileSharingEnabled"] = true;
        }
        const std::string infoPlist = plistXml(info);
        if (!writer.writeFile(bundle + "/Info.plist", infoPlist)) {
            return false;
        }
        PlistDictionary resources;
        resources["files"]
            = PlistDictionary { { "Info.plist", PlistValue(PlistData(20, std::uint8_t(app.iconSeed))) } };
        const std::string codeResources = plistXml(resources);
        if (!writer.writeFile(bundle + "/_CodeSignature/CodeResources", codeResources)) {
            return false;
        }
        std::int64_t left = bundleBytes - std::int64_t(infoPlist.size() + codeResources.size());
        if (app.developerSigned) {
            const std::string profile = "0\x82 embedded provisioning profile for " + app.bundleIdentifier;
            if (!writer.writeFile(bundle + "/embedded.mobileprovision", profile)) {
                return false;
            }
            left -= std::int64_t(profile.size());
        }
        // Mach-O magic up front; the rest of the executable and the asset catalogue are holes.
        const auto parts = splitBytes(random, std::max<std::int64_t>(left, 8192), 3);
        if (!writer.writeSized(
                bundle + "/" + app.executable, std::string_view("\xCF\xFA\xED\xFE\x0C\x00\x00\x01", 8), parts[0])
            || !writer.writeSized(bundle + "/Assets.car", "BOMStore", parts[1])
            || !writer.writeSized(
                bundle + "/Base.lproj/Main.storyboardc/Info.plist", plistXml(PlistDictionary {}), parts[2])) {
            return false;
        }
        for (const char* file : { "/Info.plist", "/_CodeSignature/CodeResources", "/Assets.car" }) {
            if (!writer.setTimes(bundle + file, installTime, installTime)) {
                return false;
            }
        }
        if (!writer.setTimes(bundle + "/" + app.executable, installTime, installTime)) {
            return false;
        }

        if (app.applicationType != "User") {
            return true;
        }
        const std::string folder = bundle.substr(0, bundle.rfind('/'));
        if (!app.developerSigned) {
            // What the store leaves beside the bundle: the flat metadata of the purchase.
            PlistDictionary metadata;
            metadata["itemName"] = app.displayName.value_or(app.bundleName);
            metadata["itemId"] = std::int64_t(random.between(284'000'000, 1'600'000'000));
            metadata["artistName"] = app.bundleIdentifier.substr(0, app.bundleIdentifier.rfind('.'));
            metadata["softwareVersionBundleId"] = app.bundleIdentifier;
            metadata["bundleShortVersionString"] = app.shortVersion;
            metadata["bundleVersion"] = app.bundleVersion;
            metadata["kind"] = "software";
            metadata["com.apple.iTunesStore.downloadInfo"] = PlistDictionary {
                { "accountInfo", PlistDictionary { { "DSPersonID", PlistValue(app.applicationDSID) } } },
                { "purchaseDate", PlistValue(PlistDate::fromSecondsSince1970(double(installTime))) },
            };
            if (!writer.writeFile(folder + "/iTunesMetadata.plist", PlistCodec::toBinary(metadata).value_or(""))) {
                return false;
            }
            if (settings.era.appLayout == AppLayout::SharedFolder) {
                // iOS 7 and earlier kept the store artwork beside the bundle.
                if (!writer.writeSized(folder + "/iTunesArtwork", std::string_view("\xFF\xD8\xFF\xE0", 4), 48'000)) {
                    return false;
                }
            }
        }
        if (settings.era.appLayout == AppLayout::Containers) {
            PlistDictionary metadata;
            metadata["Identifier"] = app.bundleIdentifier;
            metadata["InstallDate"] = PlistDate::fromSecondsSince1970(double(installTime));
            if (!writer.writeFile(folder + "/BundleMetadata.plist", plistXml(metadata))) {
                return false;
            }
        }
        return true;
    }

    struct ContainerTimes
    {
        std::int64_t installed = 0;
        std::int64_t lastUsed = 0;
    };

    bool writeContainer(const ContentSettings& settings,
        ContentWriter& writer,
        SeededRandom& random,
        const AppRecord& app,
        double cacheWeight,
        ContainerTimes times)
    {
        const std::string& c = app.containerPath;
        auto file = [&](const std::string& path, std::string_view head, std::int64_t size, std::int64_t time) {
            return writer.writeSized(c + path, head, size) && writer.setTimes(c + path, time, time);
        };
        for (const char* folder : { "/Documents", "/Library/Caches", "/Library/Preferences", "/tmp" }) {
            if (!writer.makeDirectory(c + folder)) {
                return false;
            }
        }
        if (settings.era.appLayout != AppLayout::SharedFolder) {
            PlistDictionary metadata;
            metadata["MCMMetadataIdentifier"] = app.bundleIdentifier;
            metadata["MCMMetadataContentClass"] = 2;
            metadata["MCMMetadataUUID"] = c.substr(c.rfind('/') + 1);
            metadata["MCMMetadataSchemaVersion"] = 1;
            if (!writer.writeFile(c + "/.com.apple.mobile_container_manager.metadata.plist",
                    PlistCodec::toBinary(metadata).value_or(""))) {
                return false;
            }
        }

        // Preferences: a real property list of the asked size.
        const std::int64_t preferencesBytes
            = random.between(settings.appPreferencesBytes.low, settings.appPreferencesBytes.high);
        PlistDictionary preferences;
        preferences["LastLaunchDate"] = PlistDate::fromSecondsSince1970(double(times.lastUsed));
        preferences["LaunchCount"] = std::int64_t(random.between(1, 900));
        preferences["OnboardingComplete"] = true;
        std::string preferencesText = plistXml(preferences);
        if (std::int64_t(preferencesText.size()) < preferencesBytes) {
            preferences["StateBlob"]
                = PlistData(std::size_t(preferencesBytes - std::int64_t(preferencesText.size())) * 3 / 4,
                    std::uint8_t(app.iconSeed & 0x7F));
            preferencesText = plistXml(preferences);
        }
        if (!file("/Library/Preferences/" + app.bundleIdentifier + ".plist", preferencesText,
                std::int64_t(preferencesText.size()), times.lastUsed)) {
            return false;
        }

        // Documents.
        const std::int64_t documentsBytes
            = random.skewed(settings.appDocumentsBytes.low, settings.appDocumentsBytes.high);
        if (app.fileSharingEnabled) {
            const char* names[] = { "Notes.txt", "Export.csv", "Report 2019.pdf", "Backup.zip", "Recording.m4a" };
            const int count = int(random.between(2, 5));
            const auto sizes = splitBytes(random, std::max<std::int64_t>(documentsBytes, 4096), count);
            for (int i = 0; i < count; ++i) {
                const std::string head = std::string("Document ") + names[i] + " of " + app.bundleName + "\n";
                if (!file(std::string("/Documents/") + names[i], head, sizes[std::size_t(i)],
                        timeBetween(random, times.installed, times.lastUsed))) {
                    return false;
                }
            }
        } else if (documentsBytes > 0) {
            if (!file("/Documents/" + executableName(app.bundleName) + ".sqlite", "SQLite format 3", documentsBytes,
                    times.lastUsed)) {
                return false;
            }
        }

        // Caches: several files under the app's own cache folder, dated near the last use.
        const double cacheShare = std::min(1.0, cacheWeight * (0.4 + random.unit() * 0.6));
        const std::int64_t cachesBytes = settings.appCachesBytes.low
            + std::int64_t(
                double(settings.appCachesBytes.high - settings.appCachesBytes.low) * cacheShare * cacheShare);
        const int cacheFiles = int(random.between(2, 6));
        const auto cacheSizes = splitBytes(random, cachesBytes, cacheFiles);
        for (int i = 0; i < cacheFiles; ++i) {
            const std::string name = i == 0
                ? "/Library/Caches/" + app.bundleIdentifier + "/Cache.db"
                : "/Library/Caches/" + app.bundleIdentifier + "/fsCachedData/" + random.uuid();
            if (!file(name, i == 0 ? "SQLite format 3" : "", cacheSizes[std::size_t(i)],
                    timeBetween(random, times.lastUsed - 30 * 86400, times.lastUsed))) {
                return false;
            }
        }

        // tmp.
        const std::int64_t tmpBytes = random.skewed(settings.appTmpBytes.low, settings.appTmpBytes.high);
        if (tmpBytes > 0 && !file("/tmp/" + random.letters(6) + ".tmp", "", tmpBytes, times.lastUsed)) {
            return false;
        }
        return true;
    }

} // namespace

bool generateApps(const ContentSettings& settings, ContentWriter& writer, std::vector<AppRecord>& apps)
{
    SeededRandom random = SeededRandom(settings.seed).fork("apps");
    const std::int64_t now = settings.referenceTime;
    const std::int64_t history = std::int64_t(settings.yearsOfHistory) * 365 * 86400;
    std::int64_t sequence = 1;
    const std::string minimumOS = std::to_string(std::max(3, settings.era.version.major - 2)) + ".0";

    // System apps first, as a device lists them.
    const int systemCount = std::min<int>(settings.systemApps, int(std::size(SYSTEM_CATALOG)));
    for (int i = 0; i < systemCount; ++i) {
        const SystemEntry& entry = SYSTEM_CATALOG[i];
        SeededRandom appRandom = random.fork(entry.identifier);
        AppRecord app;
        app.bundleIdentifier = entry.identifier;
        app.displayName = std::string(entry.name);
        app.bundleName = entry.executable;
        app.executable = entry.executable;
        app.bundleVersion = settings.era.version.text();
        app.shortVersion = settings.era.version.text();
        app.minimumOSVersion = settings.era.version.text();
        app.applicationType = "System";
        const Layout layout = layoutFor(settings, appRandom, true);
        app.bundlePath = layout.bundleFolder + "/" + entry.executable + ".app";
        app.containerPath = layout.container;
        app.sequenceNumber = sequence++;
        app.iconSeed = std::uint32_t(appRandom.next());
        // System bundles live on the system volume: only their Info.plist is materialised.
        PlistDictionary info { { "CFBundleIdentifier", PlistValue(app.bundleIdentifier) },
            { "CFBundleDisplayName", PlistValue(*app.displayName) },
            { "CFBundleExecutable", PlistValue(app.executable) },
            { "CFBundleVersion", PlistValue(app.bundleVersion) } };
        if (!writer.writeFile(app.bundlePath + "/Info.plist", plistXml(info))) {
            return false;
        }
        if (!app.containerPath.empty()) {
            const std::int64_t lastUsed = timeBetween(appRandom, now - 20 * 86400, now);
            ContentSettings systemSettings = settings;
            systemSettings.appDocumentsBytes = { 0, 2'000'000 };
            if (!writeContainer(systemSettings, writer, appRandom, app, 0.3, { now - history, lastUsed })) {
                return false;
            }
        }
        apps.push_back(std::move(app));
    }

    // User apps: catalogue names first; beyond the catalogue, numbered sequels.
    std::set<std::string> used;
    std::vector<int> fileSharing;
    std::vector<int> developer;
    for (int i = 0; i < settings.userApps; ++i) {
        const CatalogEntry& entry = USER_CATALOG[std::size_t(i) % std::size(USER_CATALOG)];
        const int round = i / int(std::size(USER_CATALOG));
        std::string name = entry.name;
        if (round > 0) {
            name += " " + std::to_string(round + 1);
        }
        std::string identifier = std::string(entry.vendor) + "." + lowerIdentifierPart(name);
        while (!used.insert(identifier).second) {
            identifier += "x";
        }
        SeededRandom appRandom = random.fork(identifier);

        AppRecord app;
        app.bundleIdentifier = identifier;
        app.bundleName = executableName(name);
        app.executable = app.bundleName;
        app.displayName = name;
        const int major = int(appRandom.between(1, 12));
        const int minor = int(appRandom.between(0, 9));
        const int patch = int(appRandom.between(0, 4));
        app.shortVersion = std::to_string(major) + "." + std::to_string(minor)
            + (patch != 0 ? "." + std::to_string(patch) : std::string());
        app.bundleVersion = appRandom.chance(0.5) ? std::to_string(appRandom.between(10, 4800)) : app.shortVersion;
        app.minimumOSVersion = minimumOS;
        app.applicationType = "User";
        app.signerIdentity = "Apple iPhone OS Application Signing";
        app.applicationDSID = std::int64_t(appRandom.between(100'000'000, 2'000'000'000));
        app.sequenceNumber = sequence++;
        app.iconSeed = std::uint32_t(appRandom.next());
        const Layout layout = layoutFor(settings, appRandom, false);
        app.bundlePath = layout.bundleFolder + "/" + app.executable + ".app";
        app.containerPath = layout.container;
        apps.push_back(std::move(app));
    }

    // Pick the special apps from the user apps deterministically, spread over the list.
    const std::size_t firstUser = std::size_t(systemCount);
    const int userCount = settings.userApps;
    auto userIndex
        = [&](int k, int offset) { return firstUser + std::size_t((k * 7 + offset) % std::max(1, userCount)); };
    int marked = 0;
    for (int k = 0; marked < settings.fileSharingApps && k < userCount * 2; ++k) {
        AppRecord& app = apps[userIndex(k, 1)];
        if (!app.fileSharingEnabled) {
            app.fileSharingEnabled = true;
            ++marked;
        }
    }
    marked = 0;
    for (int k = 0; marked < settings.developerApps && k < userCount * 3; ++k) {
        AppRecord& app = apps[userIndex(k, 4)];
        if (!app.fileSharingEnabled && !app.developerSigned) {
            app.developerSigned = true;
            app.signerIdentity = "iPhone Developer: Sam Carter (7RX3KQ2P9L)";
            app.applicationDSID = 0;
            ++marked;
        }
    }
    marked = 0;
    int emptied = 0;
    for (int k = 0;
         k < userCount && (marked < settings.appsWithoutDisplayName || emptied < settings.appsWithEmptyDisplayName);
         ++k) {
        AppRecord& app = apps[userIndex(k, 3)];
        if (!app.displayName || app.displayName->empty()) {
            continue;
        }
        if (marked < settings.appsWithoutDisplayName) {
            app.displayName.reset();
            ++marked;
        } else {
            app.displayName = std::string();
            ++emptied;
        }
    }

    for (std::size_t i = firstUser; i < apps.size(); ++i) {
        AppRecord& app = apps[i];
        SeededRandom appRandom = random.fork(app.bundleIdentifier + "/files");
        const CatalogEntry& entry = USER_CATALOG[(i - firstUser) % std::size(USER_CATALOG)];
        const std::int64_t installed = timeBetween(appRandom, now - history, now - 86400);
        // Most apps were used lately; some not for years.
        const std::int64_t lastUsed = appRandom.chance(0.7) ? timeBetween(appRandom, now - 30 * 86400, now)
                                                            : timeBetween(appRandom, installed, now);
        const std::int64_t bundleBytes = appRandom.skewed(settings.appBundleBytes.low, settings.appBundleBytes.high);
        if (!writeBundle(settings, writer, appRandom, app, bundleBytes, installed)
            || !writeContainer(settings, writer, appRandom, app, entry.cacheWeight, { installed, lastUsed })) {
            return false;
        }
    }
    return true;
}

} // namespace ContentGenerators
