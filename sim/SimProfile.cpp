#include "sim/SimProfile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cstdio>
#include <filesystem>

bool SimProfile::isApfsEra() const
{
    int major = 0;
    int minor = 0;
    int patch = 0;
    parseVersion(productVersion, major, minor, patch);
    return major > 10 || (major == 10 && minor >= 3);
}

bool SimProfile::usesTls10Only() const
{
    int major = 0;
    int minor = 0;
    int patch = 0;
    parseVersion(productVersion, major, minor, patch);
    return major < 10;
}

bool SimProfile::usesServiceSsl(const std::string& serviceName) const
{
    return std::find(sslServices.begin(), sslServices.end(), serviceName) != sslServices.end();
}

void SimProfile::parseVersion(const std::string& version, int& major, int& minor, int& patch)
{
    major = minor = patch = 0;
    std::sscanf(version.c_str(), "%d.%d.%d", &major, &minor, &patch);
}

namespace {

bool readString(const QJsonObject& object, const char* key, std::string& out, bool required, std::string* error)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined()) {
        if (required && error) {
            *error = std::string("missing key \"") + key + "\"";
        }
        return !required;
    }
    if (!value.isString()) {
        if (error) {
            *error = std::string("\"") + key + "\" must be a string";
        }
        return false;
    }
    out = value.toString().toStdString();
    return true;
}

bool readBytes(const QJsonObject& object, const char* key, std::uint64_t& out, bool required, std::string* error)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined()) {
        if (required && error) {
            *error = std::string("missing key \"") + key + "\"";
        }
        return !required;
    }
    // JSON numbers are doubles: exact up to 2^53 bytes, far beyond any phone.
    if (!value.isDouble() || value.toDouble() < 0 || value.toDouble() > 9.0e15) {
        if (error) {
            *error = std::string("\"") + key + "\" must be a non-negative number";
        }
        return false;
    }
    out = static_cast<std::uint64_t>(value.toDouble());
    return true;
}

} // namespace

std::optional<SimProfile> SimProfile::fromJson(
    const QJsonObject& object, const std::string& profileName, std::string* error)
{
    SimProfile p;
    p.profileName = profileName;
    std::uint64_t productId = std::uint64_t(p.productId);
    std::uint64_t interval = std::uint64_t(p.purgeIntervalMs);
    const bool ok = readString(object, "name", p.deviceName, true, error)
        && readString(object, "udid", p.udid, true, error)
        && readString(object, "productType", p.productType, true, error)
        && readString(object, "productVersion", p.productVersion, true, error)
        && readString(object, "buildVersion", p.buildVersion, false, error)
        && readString(object, "deviceClass", p.deviceClass, false, error)
        && readString(object, "serialNumber", p.serialNumber, false, error)
        && readString(object, "hardwareModel", p.hardwareModel, false, error)
        && readString(object, "wifiAddress", p.wifiAddress, false, error)
        && readBytes(object, "productId", productId, false, error)
        && readBytes(object, "diskCapacity", p.diskCapacity, true, error)
        && readBytes(object, "dataCapacity", p.dataCapacity, true, error)
        && readBytes(object, "usedBytes", p.usedBytes, true, error)
        && readBytes(object, "reserveBytes", p.reserveBytes, false, error)
        && readBytes(object, "blockSize", p.blockSize, false, error)
        && readBytes(object, "purgeablePoolBytes", p.purgeablePoolBytes, false, error)
        && readBytes(object, "purgeThresholdBytes", p.purgeThresholdBytes, false, error)
        && readBytes(object, "purgeTargetBytes", p.purgeTargetBytes, false, error)
        && readBytes(object, "purgeStepBytes", p.purgeStepBytes, false, error)
        && readBytes(object, "purgeIntervalMs", interval, false, error);
    if (!ok) {
        return std::nullopt;
    }
    const auto fail = [&](const char* text) -> std::optional<SimProfile> {
        if (error) {
            *error = text;
        }
        return std::nullopt;
    };
    // libusbmuxd turns the serial into the UDID: keep it at most 40 characters of a safe alphabet,
    // since it also names folders in the state directory.
    if (p.udid.empty() || p.udid.size() > 40
        || p.udid.find_first_not_of("0123456789abcdefABCDEF-") != std::string::npos) {
        return fail("\"udid\" must be 1 to 40 hexadecimal digits or dashes");
    }
    if (p.blockSize < 512 || p.blockSize > 1024 * 1024 || (p.blockSize & (p.blockSize - 1)) != 0) {
        return fail("\"blockSize\" must be a power of two between 512 and 1 MiB");
    }
    if (p.dataCapacity == 0 || p.dataCapacity > p.diskCapacity) {
        return fail("\"dataCapacity\" must be positive and not above \"diskCapacity\"");
    }
    if (p.reserveBytes > p.dataCapacity) {
        return fail("\"reserveBytes\" exceeds \"dataCapacity\"");
    }
    if (interval < 1 || interval > 600000) {
        return fail("\"purgeIntervalMs\" must be between 1 and 600000");
    }
    if (p.purgeTargetBytes < p.purgeThresholdBytes) {
        p.purgeTargetBytes = p.purgeThresholdBytes;
    }
    if (p.purgeStepBytes == 0) {
        p.purgeStepBytes = p.blockSize;
    }
    p.purgeIntervalMs = int(interval);
    p.productId = int(productId & 0xFFFF);
    const QJsonValue jailbroken = object.value(QLatin1String("jailbroken"));
    if (!jailbroken.isUndefined() && !jailbroken.isBool()) {
        return fail("\"jailbroken\" must be true or false");
    }
    p.jailbroken = jailbroken.toBool(false);
    const QJsonValue trust = object.value(QLatin1String("Trust"));
    if (!trust.isUndefined()) {
        p.trust = trust.isString() ? SimTrust::parse(trust.toString().toStdString()) : std::nullopt;
        if (!p.trust) {
            return fail("\"Trust\" must be trusted, passcode-locked, dialog-pending, denied or forgotten");
        }
    }
    const QJsonValue sessionSsl = object.value(QLatin1String("sessionSsl"));
    if (!sessionSsl.isUndefined() && !sessionSsl.isBool()) {
        return fail("\"sessionSsl\" must be true or false");
    }
    p.sessionSsl = sessionSsl.toBool(true);
    const QJsonValue sslServices = object.value(QLatin1String("sslServices"));
    if (!sslServices.isUndefined() && !sslServices.isArray()) {
        return fail("\"sslServices\" must be an array of service names");
    }
    for (const QJsonValue service : sslServices.toArray()) {
        if (!service.isString() || service.toString().isEmpty()) {
            return fail("\"sslServices\" must be an array of service names");
        }
        p.sslServices.push_back(service.toString().toStdString());
    }
    const QJsonValue content = object.value(QLatin1String("content"));
    if (!content.isUndefined() && !content.isObject()) {
        return fail("\"content\" must be an object");
    }
    p.content = content.toObject();
    if (p.serialNumber.empty()) {
        p.serialNumber = "F" + p.udid.substr(0, std::min<std::size_t>(11, p.udid.size()));
    }
    if (p.wifiAddress.empty()) {
        p.wifiAddress = "a4:d1:8c:" + p.udid.substr(0, 2) + ":" + p.udid.substr(2, 2) + ":" + p.udid.substr(4, 2);
    }
    return p;
}

namespace {

std::optional<SimProfile> parseDocument(const QByteArray& bytes, const std::string& name, std::string* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (document.isNull() || !document.isObject()) {
        if (error) {
            *error = "profile \"" + name + "\" is not a JSON object: " + parseError.errorString().toStdString();
        }
        return std::nullopt;
    }
    std::string reason;
    auto profile = SimProfile::fromJson(document.object(), name, &reason);
    if (!profile && error) {
        *error = "profile \"" + name + "\": " + reason;
    }
    return profile;
}

} // namespace

std::optional<SimProfile> SimProfile::builtIn(const std::string& name, std::string* error)
{
    QFile file(QStringLiteral(":/profiles/%1.json").arg(QString::fromStdString(name)));
    if (name.empty() || name.find('/') != std::string::npos || !file.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = "no built-in profile \"" + name + "\"";
        }
        return std::nullopt;
    }
    return parseDocument(file.readAll(), name, error);
}

std::optional<SimProfile> SimProfile::load(const std::string& nameOrPath, std::string* error)
{
    if (nameOrPath.find('/') == std::string::npos && nameOrPath.find(".json") == std::string::npos) {
        return builtIn(nameOrPath, error);
    }
    QFile file(QString::fromStdString(nameOrPath));
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = "cannot read profile file " + nameOrPath;
        }
        return std::nullopt;
    }
    // A profile file is a few kilobytes; refuse anything absurd before reading it whole.
    if (file.size() > 16 * 1024 * 1024) {
        if (error) {
            *error = "profile file too large: " + nameOrPath;
        }
        return std::nullopt;
    }
    return parseDocument(file.readAll(), std::filesystem::path(nameOrPath).stem().string(), error);
}
