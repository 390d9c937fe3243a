#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class PlistValue;

/// Keys sorted, as every property-list writer here emits them.
using PlistDictionary = std::map<std::string, PlistValue>;
using PlistArray = std::vector<PlistValue>;
using PlistData = std::vector<std::uint8_t>;

/// An absolute time with microsecond resolution, counted from the Unix epoch.
/// (Property lists count from 2001-01-01; the codec converts.)
struct PlistDate
{
    std::int64_t microsecondsSince1970 = 0;

    static PlistDate fromSecondsSince1970(double seconds);
    double secondsSince1970() const { return double(microsecondsSince1970) / 1e6; }
    bool operator==(const PlistDate&) const = default;
};

/// A keyed-archiver object reference.
struct PlistUid
{
    std::uint64_t value = 0;
    bool operator==(const PlistUid&) const = default;
};

/// A property-list value. `Null` is not a property-list type: it is the marker for "no value"
/// (absent keys, SQL NULL) and cannot be encoded.
class PlistValue
{
public:
    enum class Type {
        Null,
        Boolean,
        Integer,
        Real,
        String,
        Data,
        Date,
        Uid,
        Array,
        Dictionary,
    };

    PlistValue();
    PlistValue(bool value);
    PlistValue(int value);
    PlistValue(unsigned value);
    PlistValue(long value);
    PlistValue(unsigned long value);
    PlistValue(long long value);
    PlistValue(unsigned long long value);
    PlistValue(double value);
    /// A null pointer gives Null.
    PlistValue(const char* value);
    PlistValue(std::string value);
    PlistValue(std::string_view value);
    PlistValue(PlistData value);
    PlistValue(PlistDate value);
    PlistValue(PlistUid value);
    PlistValue(PlistArray value);
    PlistValue(PlistDictionary value);

    PlistValue(const PlistValue& other);
    PlistValue(PlistValue&& other) noexcept; // NOLINT(bugprone-exception-escape): PlistValue.cpp asserts it
    PlistValue& operator=(const PlistValue& other);
    PlistValue& operator=(PlistValue&& other) noexcept; // NOLINT(bugprone-exception-escape): as above
    ~PlistValue();

    Type type() const { return m_type; }
    bool isNull() const { return m_type == Type::Null; }
    bool isBoolean() const { return m_type == Type::Boolean; }
    bool isInteger() const { return m_type == Type::Integer; }
    bool isReal() const { return m_type == Type::Real; }
    bool isNumber() const { return m_type == Type::Integer || m_type == Type::Real; }
    bool isString() const { return m_type == Type::String; }
    bool isData() const { return m_type == Type::Data; }
    bool isDate() const { return m_type == Type::Date; }
    bool isUid() const { return m_type == Type::Uid; }
    bool isArray() const { return m_type == Type::Array; }
    bool isDictionary() const { return m_type == Type::Dictionary; }

    /// True when an Integer was stored from an unsigned value above INT64_MAX or as unsigned.
    bool isUnsignedInteger() const { return m_type == Type::Integer && std::get<Integer>(m_storage).isUnsigned; }

    /// Typed reads. Each returns nothing (or null) when the value is of another type.
    std::optional<bool> toBool() const;
    /// Integers as stored; a Real is truncated; an unsigned value above INT64_MAX gives nothing.
    std::optional<std::int64_t> toInt64() const;
    /// Integers as stored; negative signed values give nothing; a Real is truncated.
    std::optional<std::uint64_t> toUInt64() const;
    /// Integers and Reals.
    std::optional<double> toDouble() const;
    const std::string* asString() const;
    const PlistData* asData() const;
    std::optional<PlistDate> toDate() const;
    std::optional<PlistUid> toUid() const;
    const PlistArray* asArray() const;
    PlistArray* asArray();
    const PlistDictionary* asDictionary() const;
    PlistDictionary* asDictionary();

    /// Convenience for dictionaries: the value at `key`, or null when absent or not a dictionary.
    const PlistValue* find(const std::string& key) const;
    /// The string at `key`, or empty when absent or of another type.
    std::string stringForKey(const std::string& key) const;

    bool operator==(const PlistValue& other) const;

private:
    struct Integer
    {
        std::uint64_t bits = 0; // two's complement; `isUnsigned` says how to read them
        bool isUnsigned = false;
        bool operator==(const Integer&) const = default;
    };
    // Containers are held by pointer so the type can contain itself; copies are deep.
    using Storage = std::variant<std::monostate,
        bool,
        Integer,
        double,
        std::string,
        PlistData,
        PlistDate,
        PlistUid,
        std::unique_ptr<PlistArray>,
        std::unique_ptr<PlistDictionary>>;
    Type m_type { Type::Null };
    Storage m_storage;
};

/// Property-list documents, through libplist. Decoders never crash on hostile input; they give
/// nothing and, when `error` is given, say why.
class PlistCodec
{
public:
    /// The largest document any decoder accepts; longer input is refused before parsing.
    static constexpr std::size_t MAX_DOCUMENT_SIZE = 64 * 1024 * 1024;
    /// More containers nested in one another than this are refused by decoders and encoders alike,
    /// so hostile input cannot exhaust the stack.
    static constexpr int MAX_NESTING_DEPTH = 256;

    /// Dates keep up to microseconds. A dictionary that repeats a key holding a date is refused
    /// (libplist drops one of the values, and its dates could no longer be matched exactly).
    static std::optional<PlistValue> fromXml(std::string_view document, std::string* error = nullptr);
    static std::optional<PlistValue> fromBinary(std::string_view document, std::string* error = nullptr);
    /// Binary when the document starts with "bplist00", XML otherwise.
    static std::optional<PlistValue> fromAny(std::string_view document, std::string* error = nullptr);

    /// Encoders give nothing when the value holds a Null anywhere, a string or key with a NUL
    /// character or that is not well-formed UTF-8, a uid above 2^32 - 1, or nesting deeper than MAX_NESTING_DEPTH.
    /// Dates keep their microseconds in both formats. XML takes years 1 to 9999; binary takes 1932-12-13T20:45:52Z to
    /// 2069-01-19T03:14:07.999999Z, because libplist 2.2 keeps 32-bit seconds from 2001.
    static std::optional<std::string> toXml(const PlistValue& value);
    static std::optional<std::string> toBinary(const PlistValue& value);
};
