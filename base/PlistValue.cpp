#include "base/PlistValue.h"

#include <cmath>
#include <limits>
#include <type_traits>

namespace {

constexpr std::uint64_t INT64_MAX_BITS = std::uint64_t(std::numeric_limits<std::int64_t>::max());

// Doubles in [-2^63, 2^63) convert to int64 without undefined behaviour; NaN compares false.
bool fitsInt64(double value)
{
    return value >= -9223372036854775808.0 && value < 9223372036854775808.0;
}

bool fitsUInt64(double value)
{
    return value > -1.0 && value < 18446744073709551616.0;
}

} // namespace

PlistDate PlistDate::fromSecondsSince1970(double seconds)
{
    const double micros = std::round(seconds * 1e6);
    if (!fitsInt64(micros)) {
        return PlistDate { micros < 0 ? std::numeric_limits<std::int64_t>::min()
                                      : std::numeric_limits<std::int64_t>::max() };
    }
    return PlistDate { std::int64_t(micros) };
}

PlistValue::PlistValue() = default;

PlistValue::PlistValue(bool value)
    : m_type(Type::Boolean)
    , m_storage(value)
{
}

PlistValue::PlistValue(int value)
    : PlistValue(static_cast<long long>(value))
{
}

PlistValue::PlistValue(unsigned value)
    : PlistValue(static_cast<unsigned long long>(value))
{
}

PlistValue::PlistValue(long value)
    : PlistValue(static_cast<long long>(value))
{
}

PlistValue::PlistValue(unsigned long value)
    : PlistValue(static_cast<unsigned long long>(value))
{
}

PlistValue::PlistValue(long long value)
    : m_type(Type::Integer)
    , m_storage(Integer { static_cast<std::uint64_t>(value), false })
{
}

PlistValue::PlistValue(unsigned long long value)
    : m_type(Type::Integer)
    , m_storage(Integer { static_cast<std::uint64_t>(value), true })
{
}

PlistValue::PlistValue(double value)
    : m_type(Type::Real)
    , m_storage(value)
{
}

PlistValue::PlistValue(const char* value)
{
    // A null C string is "no value" rather than a crash in std::string.
    if (value) {
        m_type = Type::String;
        m_storage = std::string(value);
    }
}

PlistValue::PlistValue(std::string value)
    : m_type(Type::String)
    , m_storage(std::move(value))
{
}

PlistValue::PlistValue(std::string_view value)
    : m_type(Type::String)
    , m_storage(std::string(value))
{
}

PlistValue::PlistValue(PlistData value)
    : m_type(Type::Data)
    , m_storage(std::move(value))
{
}

PlistValue::PlistValue(PlistDate value)
    : m_type(Type::Date)
    , m_storage(value)
{
}

PlistValue::PlistValue(PlistUid value)
    : m_type(Type::Uid)
    , m_storage(value)
{
}

PlistValue::PlistValue(PlistArray value)
    : m_type(Type::Array)
    , m_storage(std::make_unique<PlistArray>(std::move(value)))
{
}

PlistValue::PlistValue(PlistDictionary value)
    : m_type(Type::Dictionary)
    , m_storage(std::make_unique<PlistDictionary>(std::move(value)))
{
}

PlistValue::PlistValue(const PlistValue& other)
    : m_type(other.m_type)
{
    switch (other.m_type) {
    case Type::Array:
        m_storage = std::make_unique<PlistArray>(*std::get<std::unique_ptr<PlistArray>>(other.m_storage));
        break;
    case Type::Dictionary:
        m_storage = std::make_unique<PlistDictionary>(*std::get<std::unique_ptr<PlistDictionary>>(other.m_storage));
        break;
    case Type::Null:
        break;
    case Type::Boolean:
        m_storage = std::get<bool>(other.m_storage);
        break;
    case Type::Integer:
        m_storage = std::get<Integer>(other.m_storage);
        break;
    case Type::Real:
        m_storage = std::get<double>(other.m_storage);
        break;
    case Type::String:
        m_storage = std::get<std::string>(other.m_storage);
        break;
    case Type::Data:
        m_storage = std::get<PlistData>(other.m_storage);
        break;
    case Type::Date:
        m_storage = std::get<PlistDate>(other.m_storage);
        break;
    case Type::Uid:
        m_storage = std::get<PlistUid>(other.m_storage);
        break;
    }
}

// NOLINTNEXTLINE(bugprone-exception-escape): see the assertions in the body.
PlistValue::PlistValue(PlistValue&& other) noexcept
    : m_type(other.m_type)
    , m_storage(std::move(other.m_storage))
{
    // Moves only hand over strings, byte vectors and owning pointers: nothing allocates, so
    // nothing can throw, whatever clang-tidy infers from the variant's generic code.
    static_assert(std::is_nothrow_move_constructible_v<Storage>);
    static_assert(std::is_nothrow_move_assignable_v<Storage>);
    // A moved-from value is Null, never a container with a null pointer.
    other.m_type = Type::Null;
    other.m_storage = std::monostate {};
}

PlistValue& PlistValue::operator=(const PlistValue& other)
{
    if (this != &other) {
        PlistValue copy(other);
        *this = std::move(copy);
    }
    return *this;
}

// NOLINTNEXTLINE(bugprone-exception-escape): see the assertions above PlistValue(PlistValue&&).
PlistValue& PlistValue::operator=(PlistValue&& other) noexcept
{
    if (this != &other) {
        // `other` may live inside this value (v = (*v.asArray())[0]); detach it before replacing ours.
        Storage taken = std::move(other.m_storage);
        const Type takenType = other.m_type;
        other.m_type = Type::Null;
        other.m_storage = std::monostate {};
        m_storage = std::move(taken);
        m_type = takenType;
    }
    return *this;
}

PlistValue::~PlistValue() = default;

std::optional<bool> PlistValue::toBool() const
{
    if (m_type != Type::Boolean) {
        return std::nullopt;
    }
    return std::get<bool>(m_storage);
}

std::optional<std::int64_t> PlistValue::toInt64() const
{
    if (m_type == Type::Integer) {
        const Integer& integer = std::get<Integer>(m_storage);
        if (integer.isUnsigned && integer.bits > INT64_MAX_BITS) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(integer.bits);
    }
    if (m_type == Type::Real) {
        const double value = std::trunc(std::get<double>(m_storage));
        if (!fitsInt64(value)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(value);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> PlistValue::toUInt64() const
{
    if (m_type == Type::Integer) {
        const Integer& integer = std::get<Integer>(m_storage);
        if (!integer.isUnsigned && integer.bits > INT64_MAX_BITS) {
            return std::nullopt;
        }
        return integer.bits;
    }
    if (m_type == Type::Real) {
        const double value = std::trunc(std::get<double>(m_storage));
        if (!fitsUInt64(value)) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(value);
    }
    return std::nullopt;
}

std::optional<double> PlistValue::toDouble() const
{
    if (m_type == Type::Integer) {
        const Integer& integer = std::get<Integer>(m_storage);
        if (integer.isUnsigned) {
            return static_cast<double>(integer.bits);
        }
        return static_cast<double>(static_cast<std::int64_t>(integer.bits));
    }
    if (m_type == Type::Real) {
        return std::get<double>(m_storage);
    }
    return std::nullopt;
}

const std::string* PlistValue::asString() const
{
    return m_type == Type::String ? &std::get<std::string>(m_storage) : nullptr;
}

const PlistData* PlistValue::asData() const
{
    return m_type == Type::Data ? &std::get<PlistData>(m_storage) : nullptr;
}

std::optional<PlistDate> PlistValue::toDate() const
{
    if (m_type != Type::Date) {
        return std::nullopt;
    }
    return std::get<PlistDate>(m_storage);
}

std::optional<PlistUid> PlistValue::toUid() const
{
    if (m_type != Type::Uid) {
        return std::nullopt;
    }
    return std::get<PlistUid>(m_storage);
}

const PlistArray* PlistValue::asArray() const
{
    return m_type == Type::Array ? std::get<std::unique_ptr<PlistArray>>(m_storage).get() : nullptr;
}

PlistArray* PlistValue::asArray()
{
    return m_type == Type::Array ? std::get<std::unique_ptr<PlistArray>>(m_storage).get() : nullptr;
}

const PlistDictionary* PlistValue::asDictionary() const
{
    return m_type == Type::Dictionary ? std::get<std::unique_ptr<PlistDictionary>>(m_storage).get() : nullptr;
}

PlistDictionary* PlistValue::asDictionary()
{
    return m_type == Type::Dictionary ? std::get<std::unique_ptr<PlistDictionary>>(m_storage).get() : nullptr;
}

const PlistValue* PlistValue::find(const std::string& key) const
{
    const PlistDictionary* dictionary = asDictionary();
    if (!dictionary) {
        return nullptr;
    }
    const auto it = dictionary->find(key);
    return it == dictionary->end() ? nullptr : &it->second;
}

std::string PlistValue::stringForKey(const std::string& key) const
{
    const PlistValue* value = find(key);
    const std::string* text = value ? value->asString() : nullptr;
    return text ? *text : std::string();
}

bool PlistValue::operator==(const PlistValue& other) const
{
    if (m_type != other.m_type) {
        return false;
    }
    switch (m_type) {
    case Type::Null:
        return true;
    case Type::Boolean:
        return std::get<bool>(m_storage) == std::get<bool>(other.m_storage);
    case Type::Integer: {
        // Integers compare by the number they stand for: 5 and 5u are equal, -1 and 2^64-1 are not.
        const Integer& a = std::get<Integer>(m_storage);
        const Integer& b = std::get<Integer>(other.m_storage);
        if (a.bits != b.bits) {
            return false;
        }
        return a.isUnsigned == b.isUnsigned || a.bits <= INT64_MAX_BITS;
    }
    case Type::Real:
        return std::get<double>(m_storage) == std::get<double>(other.m_storage);
    case Type::String:
        return std::get<std::string>(m_storage) == std::get<std::string>(other.m_storage);
    case Type::Data:
        return std::get<PlistData>(m_storage) == std::get<PlistData>(other.m_storage);
    case Type::Date:
        return std::get<PlistDate>(m_storage) == std::get<PlistDate>(other.m_storage);
    case Type::Uid:
        return std::get<PlistUid>(m_storage) == std::get<PlistUid>(other.m_storage);
    case Type::Array:
        return *asArray() == *other.asArray();
    case Type::Dictionary:
        return *asDictionary() == *other.asDictionary();
    }
    return false;
}
