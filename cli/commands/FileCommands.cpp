#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "cli/CliJson.h"
#include "cli/CliText.h"
#include "cli/commands/BuiltInCommands.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "device/AFCValues.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include <sys/stat.h>
#include <unistd.h>

// The media area's files: `df`, `ls`, `stat`, `scan`, `pull`, `push`, `rm`, `mkdir` and `mv`.

namespace {

/// "12.3 MB": SI units, as the application shows sizes.
std::string humanSize(std::int64_t bytes)
{
    const char* units[] = { "bytes", "kB", "MB", "GB", "TB", "PB" };
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (std::abs(value) >= 1000.0 && unit < 5) {
        value /= 1000.0;
        ++unit;
    }
    return unit == 0 ? stringWithFormat("%lld bytes", static_cast<long long>(bytes))
                     : stringWithFormat("%.1f %s", value, units[unit]);
}

std::int64_t numberFor(const PlistDictionary& dictionary, const char* key)
{
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? 0 : found->second.toInt64().value_or(0);
}

std::string textFor(const PlistDictionary& dictionary, const char* key)
{
    const auto found = dictionary.find(key);
    return found != dictionary.end() && found->second.isString() ? *found->second.asString() : std::string();
}

class FileCommands
{
public:
    explicit FileCommands(CliSession& session)
        : m_session(session)
        , m_options(session.options())
        , m_paths(session.paths())
        , m_out(session.out())
        , m_err(session.err())
    {
    }

    int df(AFCDirectoryAccess& afc)
    {
        const std::optional<PlistDictionary> info = afc.deviceInfo();
        if (!info) {
            return afcFailure(afc, {});
        }
        const std::int64_t free = numberFor(*info, "FSFreeBytes");
        const std::int64_t total = numberFor(*info, "FSTotalBytes");
        if (m_options.json) {
            m_out << plistToJson(PlistValue(PlistDictionary { { "free", PlistValue(free) },
                { "total", PlistValue(total) }, { "blockSize", PlistValue(numberFor(*info, "FSBlockSize")) },
                { "model", PlistValue(textFor(*info, "Model")) } }))
                  << '\n';
            return CLI_OK;
        }
        m_out << "Free:  " << free << " bytes (" << humanSize(free) << ")\n";
        m_out << "Total: " << total << " bytes (" << humanSize(total) << ")\n";
        if (total > 0) {
            m_out << stringWithFormat("Used:  %.0f%%\n", 100.0 * double(total - free) / double(total));
        }
        return CLI_OK;
    }

    int ls(AFCDirectoryAccess& afc, const std::string& path)
    {
        const std::optional<PlistDictionary> info = afc.getFileInfo(path);
        if (!info) {
            return afcFailure(afc, shown(path));
        }
        PlistArray entries;
        if (textFor(*info, "st_ifmt") != "S_IFDIR") {
            entries.emplace_back(entryFor(afcLastPathComponent(path), *info));
            printEntries(entries);
            return CLI_OK;
        }
        std::optional<std::vector<std::string>> names = afc.directoryContents(path);
        if (!names) {
            return afcFailure(afc, shown(path));
        }
        std::sort(names->begin(), names->end());
        for (const std::string& name : *names) {
            const std::optional<PlistDictionary> child = afc.getFileInfo(afcJoinPath(path, name));
            if (!child) {
                if (afc.lastStatus() == AFCStatus::ObjectNotFound) {
                    continue; // removed since the folder was read
                }
                // A listing with rows it could not read would show wrong sizes as if they were true.
                return afcFailure(afc, shown(afcJoinPath(path, name)));
            }
            entries.emplace_back(entryFor(name, *child));
        }
        printEntries(entries);
        return CLI_OK;
    }

    int stat(AFCDirectoryAccess& afc, const std::string& path)
    {
        const std::optional<PlistDictionary> info = afc.getFileInfo(path);
        if (!info) {
            return afcFailure(afc, shown(path));
        }
        if (m_options.json) {
            m_out << plistToJson(PlistValue(*info)) << '\n';
            return CLI_OK;
        }
        for (const auto& [key, value] : *info) {
            m_out << key << ": " << humanValue(value) << '\n';
        }
        return CLI_OK;
    }

    int scan(AFCDirectoryAccess& afc, const std::string& path)
    {
        if (!afc.getFileInfo(path)) {
            return afcFailure(afc, shown(path));
        }
        const PlistDictionary result = AFCTreeOperations(afc).scanPath(path);
        const std::int64_t size = numberFor(result, "size");
        if (AFCTreeOperations::isIncompleteScan(result)) {
            // A size that leaves out what could not be read must not pass for the size.
            return afcFailure(afc, shown(path),
                "could not read everything (" + afcFailureWords(afc.lastStatus(), afc.lasterror()) + "); "
                    + humanSize(size) + " counted before that");
        }
        const auto date = result.find("date");
        if (m_options.json) {
            PlistDictionary json { { "path", PlistValue(path) }, { "size", PlistValue(size) } };
            if (date != result.end()) {
                json["date"] = date->second;
            }
            m_out << plistToJson(PlistValue(json)) << '\n';
            return CLI_OK;
        }
        m_out << shown(path) << ": " << size << " bytes (" << humanSize(size) << ")";
        if (date != result.end() && date->second.isDate()) {
            m_out << ", latest " << isoDate(*date->second.toDate());
        } else {
            m_out << ", empty";
        }
        m_out << '\n';
        return CLI_OK;
    }

    int pull(AFCDirectoryAccess& afc)
    {
        const std::string& remote = m_paths[0];
        std::string local = m_paths.size() > 1 ? m_paths[1] : afcLastPathComponent(remote);
        struct stat localInfo;
        if (::stat(local.c_str(), &localInfo) == 0 && S_ISDIR(localInfo.st_mode)) {
            local = afcJoinPath(local, afcLastPathComponent(remote));
        }
        const std::string subject = shown(remote) + " " + shown(local);
        const std::optional<PlistDictionary> info = afc.getFileInfo(remote);
        if (!info) {
            return afcFailure(afc, subject);
        }
        if (textFor(*info, "st_ifmt") == "S_IFDIR") {
            return failure(subject, "is a folder (pull copies one file)");
        }
        if (!AFCTreeOperations(afc).copyRemoteFile(remote, local)) {
            if (afc.lasterror() == "Won't overwrite existing file") {
                return afcFailure(afc, subject, "already exists on this computer");
            }
            return afcFailure(afc, subject);
        }
        struct stat copied;
        const long long size = ::stat(local.c_str(), &copied) == 0 ? static_cast<long long>(copied.st_size) : 0;
        if (m_options.json) {
            m_out << plistToJson(PlistValue(PlistDictionary {
                { "source", PlistValue(remote) }, { "target", PlistValue(local) }, { "size", PlistValue(size) } }))
                  << '\n';
        } else {
            m_out << shown(remote) << " -> " << shown(local) << ": " << size << " bytes\n";
        }
        return CLI_OK;
    }

    int push(AFCDirectoryAccess& afc)
    {
        const std::string& local = m_paths[0];
        std::string remote = m_paths[1];
        const std::string subject = shown(local) + " " + shown(remote);
        struct stat localInfo;
        if (::stat(local.c_str(), &localInfo) != 0) {
            return failure(subject, std::string("can't read ") + shown(local) + ": " + std::strerror(errno));
        }
        if (!S_ISDIR(localInfo.st_mode) && !S_ISREG(localInfo.st_mode)) {
            return failure(subject, shown(local) + " is not a regular file or folder");
        }
        const std::optional<PlistDictionary> remoteInfo = afc.getFileInfo(remote);
        if (!remoteInfo && afc.lastStatus() != AFCStatus::ObjectNotFound) {
            return afcFailure(afc, subject); // absence must not be assumed from a failure
        }
        const bool remoteIsDirectory = remoteInfo && textFor(*remoteInfo, "st_ifmt") == "S_IFDIR";

        // Progress on a terminal only; scripts get the summary.
        NotificationCenter& center = NotificationCenter::defaultCenter();
        const bool showProgress = !m_options.json && ::isatty(STDERR_FILENO);
        NotificationCenter::ObserverToken token = 0;
        if (showProgress) {
            token = center.addObserver(
                AFC_FILE_COPY_PROGRESS, &afc, [this](const std::string&, const void*, const PlistDictionary& info) {
                    m_err << "\r" << numberFor(info, "Done") << " / " << numberFor(info, "Size") << " bytes"
                          << std::flush;
                });
        }
        bool copied = false;
        AFCTreeOperations tree(afc);
        if (S_ISDIR(localInfo.st_mode)) {
            if (!remoteIsDirectory) {
                if (showProgress) {
                    center.removeObserver(token);
                }
                return failure(subject, shown(remote) + " is not a folder on the device");
            }
            copied = tree.copyLocalFileToRemoteDir(local, remote, m_options.overwrite);
            remote = afcJoinPath(remote, afcLastPathComponent(local));
        } else {
            if (remoteIsDirectory) {
                remote = afcJoinPath(remote, afcLastPathComponent(local));
            }
            copied = tree.copyLocalFileToRemoteFile(local, remote, m_options.overwrite);
        }
        if (showProgress) {
            center.removeObserver(token);
            m_err << '\n';
        }
        for (const std::string& skipped : tree.skippedLocalPaths()) {
            m_err << "torvane-cli: push: skipped " << shown(skipped) << ": not a regular file or folder\n";
        }
        if (!copied) {
            return afcFailure(afc, subject);
        }
        if (m_options.json) {
            PlistArray skipped;
            for (const std::string& path : tree.skippedLocalPaths()) {
                skipped.emplace_back(path);
            }
            m_out << plistToJson(PlistValue(PlistDictionary { { "source", PlistValue(local) },
                { "target", PlistValue(remote) }, { "skipped", PlistValue(std::move(skipped)) } }))
                  << '\n';
        } else {
            m_out << shown(local) << " -> " << shown(remote) << '\n';
        }
        return CLI_OK;
    }

    int remove(AFCDirectoryAccess& afc)
    {
        for (const std::string& path : m_paths) {
            if (afcIsRootPath(path) || path.empty()) {
                // "/", "//" and "/DCIM/.." all name the whole media area: every photo and song.
                return failure(shown(path), "won't remove the top of the media area");
            }
            const std::optional<PlistDictionary> info = afc.getFileInfo(path);
            if (!info) {
                return afcFailure(afc, shown(path));
            }
            const bool isDirectory = textFor(*info, "st_ifmt") == "S_IFDIR";
            if (m_options.recursive) {
                if (!AFCTreeOperations(afc).deleteTreeAtPath(path, true)) {
                    return afcFailure(afc, shown(path));
                }
                // Only the device's own word that the path is gone counts as done.
                const std::optional<bool> remains = afc.existsAtPath(path);
                if (!remains) {
                    return afcFailure(afc, shown(path));
                }
                if (*remains) {
                    return failure(shown(path), "still there after removing its contents");
                }
            } else if (!afc.unlink(path)) {
                if (isDirectory && afc.lastStatus() == AFCStatus::UnknownError) {
                    return afcFailure(
                        afc, shown(path), "the folder is not empty (use rm -r to remove it with its contents)");
                }
                return afcFailure(afc, shown(path));
            }
        }
        return CLI_OK;
    }

    int makeDirectories(AFCDirectoryAccess& afc)
    {
        for (const std::string& path : m_paths) {
            if (!afc.mkdir(path)) {
                return afcFailure(afc, shown(path));
            }
        }
        return CLI_OK;
    }

    int move(AFCDirectoryAccess& afc)
    {
        const std::string& from = m_paths[0];
        const std::string& to = m_paths[1];
        const std::string subject = shown(from) + " " + shown(to);
        if (!afc.getFileInfo(from)) {
            return afcFailure(afc, subject);
        }
        if (!m_options.overwrite) {
            // The device replaces an existing file without asking; a user must ask for that.
            const std::optional<bool> exists = afc.existsAtPath(to);
            if (!exists) {
                return afcFailure(afc, subject);
            }
            if (*exists) {
                return failure(subject, shown(to) + " already exists (use -f to replace it)");
            }
        }
        if (!afc.rename(from, to)) {
            return afcFailure(afc, subject);
        }
        return CLI_OK;
    }

private:
    static PlistDictionary entryFor(const std::string& name, const PlistDictionary& info)
    {
        PlistDictionary entry { { "name", PlistValue(name) }, { "type", PlistValue(textFor(info, "st_ifmt")) },
            { "size", PlistValue(numberFor(info, "st_size")) } };
        if (const auto mtime = info.find("st_mtime"); mtime != info.end() && mtime->second.isDate()) {
            entry["mtime"] = mtime->second;
        }
        if (const auto target = info.find("LinkTarget"); target != info.end()) {
            entry["linkTarget"] = target->second;
        }
        return entry;
    }

    void printEntries(const PlistArray& entries)
    {
        if (m_options.json) {
            m_out << plistToJson(PlistValue(entries)) << '\n';
            return;
        }
        for (const PlistValue& entry : entries) {
            const std::string type = entry.stringForKey("type");
            const char kind = type == "S_IFDIR" ? 'd' : type == "S_IFLNK" ? 'l' : type == "S_IFREG" ? '-' : '?';
            const PlistValue* mtime = entry.find("mtime");
            m_out << kind << ' '
                  << stringWithFormat("%12lld", static_cast<long long>(entry.find("size")->toInt64().value_or(0)))
                  << ' ' << (mtime ? isoDate(*mtime->toDate()) : std::string(20, ' ')) << ' '
                  << escapeCliText(entry.stringForKey("name"));
            if (const PlistValue* target = entry.find("linkTarget"); target && target->isString()) {
                m_out << " -> " << escapeCliText(*target->asString());
            }
            m_out << '\n';
        }
    }

    int failure(const std::string& subject, const std::string& words, const std::optional<std::string>& detail = {})
    {
        return m_session.failure(subject, words, detail);
    }

    /// A failure of `afc`, in words, with the raw text (and what broke underneath) as detail.
    int afcFailure(AFCDirectoryAccess& afc, const std::string& subject, std::string words = {})
    {
        if (words.empty()) {
            words = afcFailureWords(afc.lastStatus(), afc.lasterror());
        }
        std::optional<std::string> detail = afc.lasterror();
        if (AFCDirectoryAccess::isConnectionFailure(afc.lastStatus())) {
            if (const std::optional<std::string> underneath = afc.connectionErrorDetail()) {
                detail = detail.value_or("") + "; " + *underneath;
            }
        }
        return failure(subject, words, detail);
    }

    static std::string shown(const std::string& path) { return escapeCliText(path); }

    CliSession& m_session;
    const CliOptions& m_options;
    const std::vector<std::string>& m_paths; // the arguments, device paths unescaped
    std::ostream& m_out;
    std::ostream& m_err;
};

/// A command on the media area: `run` gets the file commands, the media area and the arguments
/// with device paths unescaped.
std::function<int(CliSession&)> onMediaArea(
    int (*run)(FileCommands&, AFCDirectoryAccess&, const std::vector<std::string>&))
{
    return [run](CliSession& session) {
        FileCommands commands(session);
        return run(commands, session.mediaArea(), session.paths());
    };
}

} // namespace

namespace CliBuiltIn {

CliCommand dfCommand()
{
    return { .name = "df",
        .minimum = 0,
        .maximum = 0,
        .usage = "  df                            free and total bytes of the media area\n",
        .needs = CliCommandNeeds::MediaArea,
        .unbounded = false,
        .localArguments = {},
        .run = onMediaArea([](FileCommands& commands, AFCDirectoryAccess& afc, const std::vector<std::string>&) {
            return commands.df(afc);
        }) };
}

CliCommand lsCommand()
{
    return { .name = "ls",
        .minimum = 0,
        .maximum = 1,
        .usage = "  ls [PATH]                     list a folder of the media area\n",
        .needs = CliCommandNeeds::MediaArea,
        .unbounded = false,
        .localArguments = {},
        .run = onMediaArea([](FileCommands& commands, AFCDirectoryAccess& afc, const std::vector<std::string>& paths) {
            return commands.ls(afc, paths.empty() ? "/" : paths[0]);
        }) };
}

CliCommand statCommand()
{
    return { .name = "stat",
        .minimum = 1,
        .maximum = 1,
        .usage = "  stat PATH                     file information\n",
        .needs = CliCommandNeeds::MediaArea,
        .unbounded = false,
        .localArguments = {},
        .run = onMediaArea([](FileCommands& commands, AFCDirectoryAccess& afc, const std::vector<std::string>& paths) {
            return commands.stat(afc, paths[0]);
        }) };
}

CliCommand scanCommand()
{
    return { .name = "scan",
        .minimum = 1,
        .maximum = 1,
        .usage = "  scan PATH                     size and latest date of a file or tree\n",
        .needs = CliCommandNeeds::MediaArea,
        .unbounded = false,
        .localArguments = {},
        .run = onMediaArea([](FileCommands& commands, AFCDirectoryAccess& afc, const std::vector<std::string>& paths) {
            return commands.scan(afc, paths[0]);
        }) };
}

CliCommand pullCommand()
{
    return { .name = "pull",
        .minimum = 1,
        .maximum = 2,
        .usage = "  pull REMOTE [LOCAL]           copy a device file to this computer\n",
        .needs = CliCommandNeeds::MediaArea,
        .unbounded = false,
        .localArguments = { 1 },
        .run = onMediaArea([](FileCommands& commands, AFCDirectoryAccess& afc, const std::vector<std::string>&) {
            return commands.pull(afc);
        }) };
}

CliCommand pushCommand()
{
    return { .name = "push",
        .minimum = 2,
        .maximum = 2,
        .usage = "  push [-f] LOCAL REMOTE        copy a file or folder to the device (-f: replace)\n",
        .needs = CliCommandNeeds::MediaArea,
        .unbounded = false,
        .localArguments = { 0 },
        .run = onMediaArea([](FileCommands& commands, AFCDirectoryAccess& afc, const std::vector<std::string>&) {
            return commands.push(afc);
        }) };
}

CliCommand rmCommand()
{
    return { .name = "rm",
        .minimum = 1,
        .maximum = 64,
        .usage = "  rm [-r] PATH...               remove files or empty folders (-r: whole trees)\n",
        .needs = CliCommandNeeds::MediaArea,
        .unbounded = false,
        .localArguments = {},
        .run = onMediaArea([](FileCommands& commands, AFCDirectoryAccess& afc, const std::vector<std::string>&) {
            return commands.remove(afc);
        }) };
}

CliCommand mkdirCommand()
{
    return { .name = "mkdir",
        .minimum = 1,
        .maximum = 64,
        .usage = "  mkdir PATH...                 create folders (and missing parents)\n",
        .needs = CliCommandNeeds::MediaArea,
        .unbounded = false,
        .localArguments = {},
        .run = onMediaArea([](FileCommands& commands, AFCDirectoryAccess& afc, const std::vector<std::string>&) {
            return commands.makeDirectories(afc);
        }) };
}

CliCommand mvCommand()
{
    return { .name = "mv",
        .minimum = 2,
        .maximum = 2,
        .usage = "  mv [-f] OLD NEW               rename or move (-f: replace an existing NEW)\n",
        .needs = CliCommandNeeds::MediaArea,
        .unbounded = false,
        .localArguments = {},
        .run = onMediaArea([](FileCommands& commands, AFCDirectoryAccess& afc, const std::vector<std::string>&) {
            return commands.move(afc);
        }) };
}

} // namespace CliBuiltIn
