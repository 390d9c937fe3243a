#pragma once

#include <QImage>

/// Artwork of Clear Temporary Files, drawn in the style of the home screen's icons: a rounded tile
/// with a soft warm gradient and a white glyph.
namespace ECFillClearingArtwork {

/// "giant-icon-cache-new": a phone whose storage fills up in bands, with sparkles where the caches
/// were swept away. `pixels` is the edge length.
QImage giantIconCacheNew(int pixels);

} // namespace ECFillClearingArtwork
