#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AppRecord;
class QImage;

/// Images the simulated phone shows or stores, drawn with QPainter. Text is drawn only when a
/// QGuiApplication exists (fonts need one); everything else works without.
namespace ContentImages {

/// A photo-like scene (sky, horizon, sun, hills) varied by `variant`, encoded as JPEG.
std::string photoJpeg(std::uint64_t variant, int width, int height);

/// A phone screenshot-like picture, encoded as PNG.
std::string screenshotPng(std::uint64_t variant, int width, int height);

/// The app's home-screen icon as PNG: colour and glyph come from the record, and the bundle
/// identifier is stored in the PNG's text chunk, so no two apps share bytes.
std::string appIconPng(const AppRecord& app, int size = 120);

/// A home screen: wallpaper, status bar with `clock` ("9:41"), a grid of the apps' icons with
/// their names, and a dock.
QImage homeScreen(const std::vector<AppRecord>& apps, const std::string& clock, int width, int height);

/// The wallpaper alone, as PNG.
std::string wallpaperPng(int width, int height);

std::string encodePng(const QImage& image);

} // namespace ContentImages
