#include "sim/content/AppRecord.h"

#include "base/PlistValue.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>

PlistValue AppRecord::attributes(std::int64_t staticDiskUsage, std::int64_t dynamicDiskUsage) const
{
    PlistDictionary dict;
    dict["CFBundleIdentifier"] = bundleIdentifier;
    if (displayName) {
        dict["CFBundleDisplayName"] = *displayName;
    }
    dict["CFBundleName"] = bundleName;
    dict["CFBundleExecutable"] = executable;
    dict["CFBundleVersion"] = bundleVersion;
    dict["CFBundleShortVersionString"] = shortVersion;
    dict["MinimumOSVersion"] = minimumOSVersion;
    dict["ApplicationType"] = applicationType;
    dict["Path"] = bundlePath;
    if (!containerPath.empty()) {
        dict["Container"] = containerPath;
        PlistDictionary environment;
        environment["HOME"] = containerPath;
        environment["CFFIXED_USER_HOME"] = containerPath;
        environment["TMPDIR"] = containerPath + "/tmp";
        dict["EnvironmentVariables"] = environment;
    }
    dict["StaticDiskUsage"] = staticDiskUsage;
    dict["DynamicDiskUsage"] = dynamicDiskUsage;
    if (fileSharingEnabled) {
        dict["UIFileSharingEnabled"] = true;
    }
    dict["UIDeviceFamily"] = PlistArray { PlistValue(1) };
    dict["CFBundleIconFiles"] = PlistArray { PlistValue("AppIcon60x60") };
    if (!signerIdentity.empty()) {
        dict["SignerIdentity"] = signerIdentity;
    }
    if (applicationDSID != 0) {
        dict["ApplicationDSID"] = applicationDSID;
    }
    if (applicationType == "User") {
        PlistDictionary entitlements;
        entitlements["application-identifier"] = "ABCDE12345." + bundleIdentifier;
        if (developerSigned) {
            entitlements["get-task-allow"] = true;
        }
        dict["Entitlements"] = entitlements;
        dict["IsUpgradeable"] = true;
    }
    dict["SequenceNumber"] = sequenceNumber;
    return dict;
}

namespace {

QJsonObject recordToJson(const AppRecord& app)
{
    QJsonObject object;
    object["bundleIdentifier"] = QString::fromStdString(app.bundleIdentifier);
    if (app.displayName) {
        object["displayName"] = QString::fromStdString(*app.displayName);
    }
    object["bundleName"] = QString::fromStdString(app.bundleName);
    object["executable"] = QString::fromStdString(app.executable);
    object["bundleVersion"] = QString::fromStdString(app.bundleVersion);
    object["shortVersion"] = QString::fromStdString(app.shortVersion);
    object["minimumOSVersion"] = QString::fromStdString(app.minimumOSVersion);
    object["applicationType"] = QString::fromStdString(app.applicationType);
    object["bundlePath"] = QString::fromStdString(app.bundlePath);
    object["containerPath"] = QString::fromStdString(app.containerPath);
    object["fileSharingEnabled"] = app.fileSharingEnabled;
    object["developerSigned"] = app.developerSigned;
    object["signerIdentity"] = QString::fromStdString(app.signerIdentity);
    // JSON numbers are doubles: keep 64-bit values exact as text.
    object["applicationDSID"] = QString::number(app.applicationDSID);
    object["sequenceNumber"] = QString::number(app.sequenceNumber);
    object["iconSeed"] = double(app.iconSeed);
    return object;
}

std::optional<AppRecord> recordFromJson(const QJsonObject& object)
{
    AppRecord app;
    app.bundleIdentifier = object["bundleIdentifier"].toString().toStdString();
    if (app.bundleIdentifier.empty()) {
        return std::nullopt;
    }
    if (object.contains("displayName")) {
        app.displayName = object["displayName"].toString().toStdString();
    }
    app.bundleName = object["bundleName"].toString().toStdString();
    app.executable = object["executable"].toString().toStdString();
    app.bundleVersion = object["bundleVersion"].toString().toStdString();
    app.shortVersion = object["shortVersion"].toString().toStdString();
    app.minimumOSVersion = object["minimumOSVersion"].toString().toStdString();
    app.applicationType = object["applicationType"].toString().toStdString();
    app.bundlePath = object["bundlePath"].toString().toStdString();
    app.containerPath = object["containerPath"].toString().toStdString();
    app.fileSharingEnabled = object["fileSharingEnabled"].toBool();
    app.developerSigned = object["developerSigned"].toBool();
    app.signerIdentity = object["signerIdentity"].toString().toStdString();
    app.applicationDSID = object["applicationDSID"].toString().toLongLong();
    app.sequenceNumber = object["sequenceNumber"].toString().toLongLong();
    app.iconSeed = std::uint32_t(object["iconSeed"].toDouble());
    return app;
}

} // namespace

AppRegistry::AppRegistry(std::filesystem::path file)
    : m_file(std::move(file))
{
}

bool AppRegistry::load(std::string* error)
{
    std::lock_guard lock(m_mutex);
    m_apps.clear();
    m_archives.clear();
    QFile file(QString::fromStdString(m_file.string()));
    if (!file.exists()) {
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = "cannot read " + m_file.string();
        }
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        if (error) {
            *error = m_file.string() + ": " + parseError.errorString().toStdString();
        }
        return false;
    }
    for (const QJsonValue value : document.object()["apps"].toArray()) {
        if (auto app = recordFromJson(value.toObject())) {
            m_apps.push_back(std::move(*app));
        }
    }
    for (const QJsonValue value : document.object()["archives"].toArray()) {
        if (auto app = recordFromJson(value.toObject()["record"].toObject())) {
            m_archives.push_back({ std::move(*app), value.toObject()["archiveBytes"].toString().toLongLong() });
        }
    }
    return true;
}

std::string AppRegistry::toJson(const std::vector<AppRecord>& apps, const std::vector<AppArchive>& archives)
{
    QJsonArray appArray;
    for (const AppRecord& app : apps) {
        appArray.append(recordToJson(app));
    }
    QJsonArray archiveArray;
    for (const AppArchive& archive : archives) {
        QJsonObject object;
        object["record"] = recordToJson(archive.record);
        object["archiveBytes"] = QString::number(archive.archiveBytes);
        archiveArray.append(object);
    }
    QJsonObject root;
    root["apps"] = appArray;
    root["archives"] = archiveArray;
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}

bool AppRegistry::save(std::string* error) const
{
    std::lock_guard lock(m_mutex);
    return saveLocked(error);
}

bool AppRegistry::saveLocked(std::string* error) const
{
    // Written whole and renamed into place: a crash mid-write must not lose the app list.
    QSaveFile file(QString::fromStdString(m_file.string()));
    const std::string json = toJson(m_apps, m_archives);
    if (!file.open(QIODevice::WriteOnly) || file.write(json.data(), qint64(json.size())) != qint64(json.size())
        || !file.commit()) {
        if (error) {
            *error = "cannot write " + m_file.string();
        }
        return false;
    }
    return true;
}

std::vector<AppRecord> AppRegistry::apps() const
{
    std::lock_guard lock(m_mutex);
    return m_apps;
}

std::optional<AppRecord> AppRegistry::find(const std::string& bundleIdentifier) const
{
    std::lock_guard lock(m_mutex);
    for (const AppRecord& app : m_apps) {
        if (app.bundleIdentifier == bundleIdentifier) {
            return app;
        }
    }
    return std::nullopt;
}

bool AppRegistry::put(const AppRecord& record)
{
    std::lock_guard lock(m_mutex);
    auto it = std::find_if(m_apps.begin(), m_apps.end(),
        [&](const AppRecord& app) { return app.bundleIdentifier == record.bundleIdentifier; });
    if (it != m_apps.end()) {
        *it = record;
    } else {
        m_apps.push_back(record);
    }
    return saveLocked(nullptr);
}

std::optional<AppRecord> AppRegistry::remove(const std::string& bundleIdentifier)
{
    std::lock_guard lock(m_mutex);
    auto it = std::find_if(
        m_apps.begin(), m_apps.end(), [&](const AppRecord& app) { return app.bundleIdentifier == bundleIdentifier; });
    if (it == m_apps.end()) {
        return std::nullopt;
    }
    AppRecord removed = std::move(*it);
    m_apps.erase(it);
    (void)saveLocked(nullptr); // the in-memory state is authoritative; a failed save is retried next change
    return removed;
}

std::vector<AppArchive> AppRegistry::archives() const
{
    std::lock_guard lock(m_mutex);
    return m_archives;
}

std::optional<AppArchive> AppRegistry::findArchive(const std::string& bundleIdentifier) const
{
    std::lock_guard lock(m_mutex);
    for (const AppArchive& archive : m_archives) {
        if (archive.record.bundleIdentifier == bundleIdentifier) {
            return archive;
        }
    }
    return std::nullopt;
}

bool AppRegistry::putArchive(const AppArchive& archive)
{
    std::lock_guard lock(m_mutex);
    auto it = std::find_if(m_archives.begin(), m_archives.end(), [&](const AppArchive& existing) {
        return existing.record.bundleIdentifier == archive.record.bundleIdentifier;
    });
    if (it != m_archives.end()) {
        *it = archive;
    } else {
        m_archives.push_back(archive);
    }
    return saveLocked(nullptr);
}

std::optional<AppArchive> AppRegistry::removeArchive(const std::string& bundleIdentifier)
{
    std::lock_guard lock(m_mutex);
    auto it = std::find_if(m_archives.begin(), m_archives.end(),
        [&](const AppArchive& archive) { return archive.record.bundleIdentifier == bundleIdentifier; });
    if (it == m_archives.end()) {
        return std::nullopt;
    }
    AppArchive removed = std::move(*it);
    m_archives.erase(it);
    (void)saveLocked(nullptr); // see remove()
    return removed;
}

bool AppRegistry::reset(std::vector<AppRecord> apps)
{
    std::lock_guard lock(m_mutex);
    m_apps = std::move(apps);
    m_archives.clear();
    return saveLocked(nullptr);
}
