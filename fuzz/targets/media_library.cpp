// The phone's media library (MediaLibrary.sqlitedb) once copied to the computer: the music tool's
// listing of songs and podcasts, and the track deleter's lookups of rows and the media paths they
// name. A path taken from the library must stay inside the music folder.
// Input: the database file.
#include "db/FMDatabase.h"
#include "modules/music/ECMusicModule.h"
#include "platform/track_deleter/MediaLibraryEdit.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdlib>
#include <fstream>

namespace {

bool insideMusicFolder(const std::string& path)
{
    const std::string folder = MEDIA_LIBRARY_MUSIC_FOLDER;
    return path.compare(0, folder.size(), folder) == 0 && path.find("/../") == std::string::npos
        && path.find("/./") == std::string::npos && path.find("//") == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir folder;
    if (!folder.isValid()) {
        std::abort();
    }
    const std::string file = (folder.path() + QLatin1Char('/') + QLatin1String(ECMusicModule::FILE_NAME)).toStdString();
    for (const char* suffix : { "", "-wal", "-shm", "-journal" }) {
        std::remove((file + suffix).c_str());
    }
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    std::vector<MediaLibraryTrack> tracks;
    (void)ECMusicModule::readLibraryCopy(folder.path(), [&tracks](const ECModuleItem& item) {
        tracks.push_back(ECMusicModule::trackFor(item));
        return tracks.size() < 1000;
    });

    const auto database = FMDatabase::databaseWithPath(file);
    if (!database->open()) {
        return 0;
    }
    std::string error;
    if (const auto paths = MediaLibraryEdit::referencedMediaPaths(*database, error)) {
        for (const std::string& path : *paths) {
            if (!insideMusicFolder(path)) {
                std::abort();
            }
        }
    }
    if (const auto rows = MediaLibraryEdit::findRows(*database, tracks, error)) {
        for (const MediaLibraryRow& row : *rows) {
            if (!insideMusicFolder(row.mediaPath)) {
                std::abort(); // the deleter would remove a file outside the music folder
            }
        }
    }
    return 0;
}
