#include "sim/content/ContentGenerator.h"

// PLACEHOLDER until the content generator lands (it replaces this whole file): a new device gets
// only the standard folder skeleton its creator makes, and no generated content.
bool populateDeviceContent(const SimProfile& /*profile*/,
                           const std::filesystem::path& /*fsRoot*/,
                           SimBirthTimes& /*birthTimes*/,
                           std::string* /*error*/)
{
    return true;
}
