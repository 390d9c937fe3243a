#pragma once

#include "base/PlistValue.h"

#include <string>
#include <string_view>

/// `text` as a JSON string literal, quotes included. Bytes that are not valid UTF-8 become
/// U+FFFD so the output always parses.
std::string jsonString(std::string_view text);

/// A property-list value as JSON: dictionaries become objects, arrays arrays, integers and reals
/// numbers, booleans booleans, dates ISO 8601 UTC strings, data base64 strings, UIDs numbers;
/// a Null becomes null. `indent` > 0 pretty-prints with that many spaces per level.
std::string plistToJson(const PlistValue& value, int indent = 2);

/// A date as "YYYY-MM-DDTHH:MM:SSZ" (fractions dropped).
std::string isoDate(const PlistDate& date);

/// A value for people: scalars plainly (text escaped), dates ISO 8601, containers as JSON.
std::string humanValue(const PlistValue& value);
