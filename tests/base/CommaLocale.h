#pragma once

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

// Sets LC_NUMERIC to a locale with a decimal comma. Containers often install none, so one is
// compiled once with localedef into the build folder and found through LOCPATH.
inline const char* switchToCommaLocale()
{
    for (const char* name : { "de_DE.UTF-8", "fr_FR.UTF-8", "nl_NL.UTF-8", "ru_RU.UTF-8" }) {
        if (std::setlocale(LC_NUMERIC, name)) {
            return name;
        }
    }
    const char* buildDir = std::getenv("TORVANE_BUILD_DIR");
    const std::filesystem::path folder = buildDir
        ? std::filesystem::path(buildDir) / "test-locales"
        : std::filesystem::temp_directory_path() / ("torvane-test-locales-" + std::to_string(geteuid()));
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::filesystem::path compiled = folder / "de_DE.UTF-8";
    if (!std::filesystem::exists(compiled / "LC_NUMERIC")) {
        // Tests run in parallel: compile into a private folder, then move it into place in one step.
        const std::filesystem::path scratch = folder / ("building-" + std::to_string(getpid()));
        const std::string command = "localedef -i de_DE -f UTF-8 '" + scratch.string() + "' >/dev/null 2>&1";
        (void)std::system(command.c_str()); // warnings give a non-zero status; setlocale below decides
        std::filesystem::rename(scratch, compiled, ignored);
        std::filesystem::remove_all(scratch, ignored);
    }
    setenv("LOCPATH", folder.c_str(), 1);
    const char* chosen = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") ? "de_DE.UTF-8" : nullptr;
    unsetenv("LOCPATH");
    return chosen;
}
