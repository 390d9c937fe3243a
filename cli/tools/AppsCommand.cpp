#include "base/PlistValue.h"
#include "cli/CliJson.h"
#include "cli/CliText.h"
#include "cli/tools/ToolCommands.h"
#include "device/AMDevice.h"
#include "modules/apps/ECAppModule.h"

#include <QLocale>

#include <algorithm>

// `torvane-cli apps --sizes [--json]`: the app removal tool's listing, sizes and ranks, so the
// ranking can be checked from a script. Without --sizes, `apps` stays the built-in listing.

namespace {

std::string dateText(const std::optional<QDateTime>& date)
{
    if (!date || !date->isValid()) {
        return "—";
    }
    return date->toUTC().toString(Qt::ISODate).toStdString();
}

/// A name from the phone as ls shows it: control characters cannot restyle the terminal.
QString shown(const QString& text)
{
    return QString::fromStdString(escapeCliText(text.toStdString()));
}

int listSizes(ToolContext& context)
{
    const std::shared_ptr<AMDevice> device = context.chooseDevice();
    if (!device) {
        return context.status();
    }
    ECAppModule module;
    module.setDevice(device);
    bool listed = false;
    std::uint64_t changes = 0; // rows listed and sized: the phone is still answering
    QObject::connect(&module, &ECTableViewModule::sortChanged, [&listed, &changes] {
        listed = true;
        ++changes;
    });
    QObject::connect(&module.itemList(), &ECItemListModel::dataChanged, [&changes] { ++changes; });
    QObject::connect(&module.itemList(), &ECItemListModel::rowsInserted, [&changes] { ++changes; });
    module.loadConfigView();
    const auto bound = context.stallBound().value_or(std::chrono::hours(24 * 365));
    if (!context.waitFor([&] { return listed && module.moduleStatus() == ECModuleStatus::Idle; },
            [&changes] { return changes; }, std::chrono::duration_cast<std::chrono::milliseconds>(bound))) {
        context.noAnswer();
    }
    if (!module.device() || module.itemList().rowCount() == 0) {
        if (device->lasterror() || context.deviceDetached()) {
            return context.deviceFailure(
                "can't list the apps: " + deviceFailureWords(device->lasterror(), "the lookup failed"));
        }
    }
    // As the tool's table shows them: most bars first, then by name.
    std::vector<ECModuleItem> items = module.itemListController().shownItems();
    std::stable_sort(items.begin(), items.end(), [](const ECModuleItem& a, const ECModuleItem& b) {
        const auto barsA = a.rank ? a.rank->size() : -1;
        const auto barsB = b.rank ? b.rank->size() : -1;
        if (barsA != barsB) {
            return barsA > barsB;
        }
        return a.name.localeAwareCompare(b.name) < 0;
    });
    if (context.options().json) {
        PlistArray entries;
        for (const ECModuleItem& item : items) {
            PlistDictionary entry {
                { "name", PlistValue(item.name.toStdString()) },
                { "bundleId", PlistValue(item.values.value(ECAppModule::APP_ID).toString().toStdString()) },
                { "size", PlistValue(item.sizeOrZero()) },
                { "rank", PlistValue(std::int64_t(item.rank ? item.rank->size() : 0)) },
            };
            entry["lastChanged"] = item.date && item.date->isValid()
                ? PlistValue(PlistDate::fromSecondsSince1970(double(item.date->toMSecsSinceEpoch()) / 1000.0))
                : PlistValue();
            entries.emplace_back(std::move(entry));
        }
        context.out() << plistToJson(PlistValue(entries)) << '\n';
        return CLI_OK;
    }
    const QLocale locale(QLocale::English, QLocale::UnitedStates);
    for (const ECModuleItem& item : items) {
        // Padded by characters, not bytes: the dash of an unknown date is one character.
        const QString line
            = QStringLiteral("%1 %2  %3  %4  (%5)\n")
                  .arg((item.rank ? *item.rank : QString()).leftJustified(ECAppModule::MAX_BARS),
                      locale.formattedDataSize(item.sizeOrZero(), 1, QLocale::DataSizeSIFormat).rightJustified(10),
                      QString::fromStdString(dateText(item.date)).leftJustified(20), shown(item.name),
                      shown(item.values.value(ECAppModule::APP_ID).toString()));
        context.out() << line.toStdString();
    }
    return CLI_OK;
}

} // namespace

ToolCommand appsCommand()
{
    ToolCommand command;
    command.shape = { "apps", 0, 0, { { "--sizes", false } } };
    command.usage = "  apps --sizes                  the user apps with their sizes, last change and rank, best\n"
                    "                                candidates for removal first (--json: one object per app)\n";
    command.handles = [](const CliOptions& options) { return options.toolOptions.count("--sizes") != 0; };
    command.run = listSizes;
    return command;
}
