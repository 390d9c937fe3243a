#pragma once

#include "base/PlistValue.h"

#include <ostream>

// Readable failure messages: GoogleTest finds PrintTo by argument-dependent lookup.
inline void PrintTo(const PlistValue& value, std::ostream* stream)
{
    const std::optional<std::string> xml = PlistCodec::toXml(value);
    *stream << (xml ? *xml : std::string("<value with Null or out of range>"));
}
