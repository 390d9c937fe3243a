#include "sim/SimBirthTimes.h"

#include "base/Log.h"

#include <fstream>
#include <sstream>
#include <vector>

SimBirthTimes::SimBirthTimes(std::filesystem::path file)
    : m_file(std::move(file))
{
}

void SimBirthTimes::load()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear();
    std::ifstream in(m_file);
    std::string line;
    // One "nanoseconds<TAB>path" per line; paths never hold a newline (AFC paths are C strings,
    // and names with a newline are skipped when saving).
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos || tab == 0) {
            continue;
        }
        try {
            m_entries[line.substr(tab + 1)] = std::stoll(line.substr(0, tab));
        } catch (...) {
            continue;
        }
    }
    m_dirty = false;
}

void SimBirthTimes::save()
{
    std::lock_guard lock(m_mutex);
    if (!m_dirty) {
        return;
    }
    const std::filesystem::path temporary = m_file.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const auto& [path, time] : m_entries) {
            if (path.find('\n') == std::string::npos) {
                out << time << '\t' << path << '\n';
            }
        }
        if (!out) {
            logLine(LOG_SIM, "Cannot write %s", temporary.c_str());
            return;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, m_file, error);
    if (error) {
        logLine(LOG_SIM, "Cannot write %s", m_file.c_str());
        return;
    }
    m_dirty = false;
}

void SimBirthTimes::set(const std::string& devicePath, std::int64_t nanosecondsSince1970)
{
    std::lock_guard lock(m_mutex);
    m_entries[devicePath] = nanosecondsSince1970;
    m_dirty = true;
}

std::optional<std::int64_t> SimBirthTimes::find(const std::string& devicePath) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(devicePath);
    if (it == m_entries.end()) {
        return std::nullopt;
    }
    return it->second;
}

namespace {

bool isSameOrBelow(const std::string& path, const std::string& root)
{
    if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) {
        return false;
    }
    return path.size() == root.size() || path[root.size()] == '/' || root == "/";
}

} // namespace

void SimBirthTimes::removeTree(const std::string& devicePath)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (isSameOrBelow(it->first, devicePath)) {
            it = m_entries.erase(it);
            m_dirty = true;
        } else {
            ++it;
        }
    }
}

void SimBirthTimes::renameTree(const std::string& from, const std::string& to)
{
    std::lock_guard lock(m_mutex);
    std::vector<std::pair<std::string, std::int64_t>> moved;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (isSameOrBelow(it->first, from)) {
            moved.emplace_back(to + it->first.substr(from.size()), it->second);
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& [path, time] : moved) {
        m_entries[path] = time;
        m_dirty = true;
    }
}

std::size_t SimBirthTimes::size() const
{
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}
