#include "base/PlistValue.h"

#include <bit>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include <locale.h>
#include <plist/plist.h>

// libplist 2.2 is used for parsing, validation and writing, but it has gaps this codec closes:
// - it recurses without limit (deep nesting overflows the stack) and expands shared binary
//   objects without limit, so both formats are pre-scanned for depth and size before parsing;
// - its XML reader and writer drop the fraction of a date and its binary reader truncates the
//   microseconds (and loses the sign of the fraction before 2001), so date values are taken from
//   the document text or bytes and written into the XML text here;
// - its integer node has no sign accessor; the sign is recovered by comparing against a node
//   built with the signed representation.

namespace {

constexpr int MAX_DEPTH = PlistCodec::MAX_NESTING_DEPTH;
constexpr std::int64_t MICROS_PER_SECOND = 1000000;
// 2001-01-01T00:00:00Z, the property-list epoch, in Unix seconds.
constexpr std::int64_t EPOCH_2001 = 978307200;

struct PlistDeleter
{
    void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

void setError(std::string* error, std::string text)
{
    if (error) {
        *error = std::move(text);
    }
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

// Days since 1970-01-01 for a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const std::int64_t era = floorDiv(year, 400);
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day)
{
    days += 719468;
    const std::int64_t era = floorDiv(days, 146097);
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2);
}

bool readDigits(std::string_view text, std::size_t& pos, std::size_t count, unsigned& value)
{
    value = 0;
    for (std::size_t i = 0; i < count; ++i, ++pos) {
        if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') {
            return false;
        }
        value = value * 10 + unsigned(text[pos] - '0');
    }
    return true;
}

bool expect(std::string_view text, std::size_t& pos, char c)
{
    if (pos >= text.size() || text[pos] != c) {
        return false;
    }
    ++pos;
    return true;
}

// "YYYY-MM-DDTHH:MM:SS[.ffffff]Z", the form property-list XML uses, to microseconds since 1970.
// Digits past the sixth of the fraction are ignored.
std::optional<std::int64_t> parseXmlDate(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    std::size_t pos = 0;
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') || !readDigits(text, pos, 2, month)
        || !expect(text, pos, '-') || !readDigits(text, pos, 2, day) || !expect(text, pos, 'T')
        || !readDigits(text, pos, 2, hour) || !expect(text, pos, ':') || !readDigits(text, pos, 2, minute)
        || !expect(text, pos, ':') || !readDigits(text, pos, 2, second)) {
        return std::nullopt;
    }
    std::int64_t fraction = 0;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        int digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (digits < 6) {
                fraction = fraction * 10 + (text[pos] - '0');
            }
            ++digits;
            ++pos;
        }
        if (digits == 0) {
            return std::nullopt;
        }
        for (int i = digits; i < 6; ++i) {
            fraction *= 10;
        }
    }
    if (!expect(text, pos, 'Z') || pos != text.size()) {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    const std::int64_t seconds
        = daysFromCivil(year, month, day) * 86400 + std::int64_t(hour) * 3600 + minute * 60 + second;
    return seconds * MICROS_PER_SECOND + fraction;
}

std::optional<std::string> formatXmlDate(std::int64_t microsSince1970)
{
    const std::int64_t seconds = floorDiv(microsSince1970, MICROS_PER_SECOND);
    const std::int64_t micros = microsSince1970 - seconds * MICROS_PER_SECOND;
    const std::int64_t days = floorDiv(seconds, 86400);
    const std::int64_t secondOfDay = seconds - days * 86400;
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    if (year < 1 || year > 9999) {
        return std::nullopt;
    }
    char buffer[64];
    int length = std::snprintf(buffer, sizeof buffer, "%04" PRId64 "-%02u-%02uT%02d:%02d:%02d", year, month, day,
        int(secondOfDay / 3600), int(secondOfDay / 60 % 60), int(secondOfDay % 60));
    std::string text(buffer, std::size_t(length));
    if (micros != 0) {
        length = std::snprintf(buffer, sizeof buffer, ".%06d", int(micros));
        std::string fraction(buffer, std::size_t(length));
        while (fraction.back() == '0') {
            fraction.pop_back();
        }
        text += fraction;
    }
    text += 'Z';
    return text;
}

// libplist's XML reader converts reals with the C library, which follows the locale: under a
// locale with a decimal comma (which Qt applications take from the environment) "2.5" read as 2.
// Reading and writing switch the calling thread to the C locale for their duration.
class CNumericLocale
{
public:
    CNumericLocale()
    {
        static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        if (cLocale) {
            m_previous = uselocale(cLocale);
        }
    }
    ~CNumericLocale()
    {
        if (m_previous) {
            uselocale(m_previous);
        }
    }
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

private:
    locale_t m_previous { static_cast<locale_t>(nullptr) };
};

// ---- XML pre-scan -------------------------------------------------------------------------------

// Walks the markup once: refuses nesting libplist's recursive reader could not survive and
// collects the text of every <date> element in document order.
bool scanXml(std::string_view doc, std::vector<std::string_view>& dates, std::string& error)
{
    // NUL is never valid XML, and libplist aborts on a key holding one: refuse it raw or as a
    // character reference.
    if (doc.find('\0') != std::string_view::npos) {
        error = "NUL character";
        return false;
    }
    for (std::size_t ref = doc.find("&#"); ref != std::string_view::npos; ref = doc.find("&#", ref + 2)) {
        std::size_t pos = ref + 2;
        const bool hex = pos < doc.size() && (doc[pos] == 'x' || doc[pos] == 'X');
        pos += hex ? 1 : 0;
        bool nonZero = false;
        std::size_t digits = 0;
        while (pos < doc.size() && std::isxdigit(static_cast<unsigned char>(doc[pos]))) {
            nonZero = nonZero || doc[pos] != '0';
            ++digits;
            ++pos;
        }
        if (digits > 0 && !nonZero) {
            error = "NUL character reference";
            return false;
        }
    }
    // Open elements, so a closing tag that does not match cannot hide nesting from the count.
    std::vector<std::string_view> open;
    std::size_t pos = 0;
    while ((pos = doc.find('<', pos)) != std::string_view::npos) {
        const std::string_view rest = doc.substr(pos);
        auto skipTo = [&](std::string_view terminator, std::size_t from) {
            const std::size_t end = doc.find(terminator, pos + from);
            pos = end == std::string_view::npos ? doc.size() : end + terminator.size();
        };
        if (rest.starts_with("<!--")) {
            skipTo("-->", 4);
            continue;
        }
        if (rest.starts_with("<![CDATA[")) {
            skipTo("]]>", 9);
            continue;
        }
        if (rest.starts_with("<?")) {
            skipTo("?>", 2);
            continue;
        }
        if (rest.starts_with("<!")) {
            skipTo(">", 2);
            continue;
        }
        const std::size_t end = doc.find('>', pos);
        if (end == std::string_view::npos) {
            break; // unterminated tag: the parser reports it
        }
        if (rest.starts_with("</")) {
            std::string_view name = doc.substr(pos + 2, end - pos - 2);
            while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) {
                name.remove_suffix(1);
            }
            if (open.empty() || open.back() != name) {
                error = "mismatched closing tag";
                return false;
            }
            open.pop_back();
            pos = end + 1;
            continue;
        }
        const bool selfClosing = doc[end - 1] == '/';
        std::size_t nameEnd = pos + 1;
        while (nameEnd < end && doc[nameEnd] != '/' && !std::isspace(static_cast<unsigned char>(doc[nameEnd]))) {
            ++nameEnd;
        }
        const std::string_view name = doc.substr(pos + 1, nameEnd - pos - 1);
        if (name == "date") {
            if (selfClosing) {
                dates.emplace_back();
            } else {
                const std::size_t textEnd = doc.find('<', end + 1);
                dates.push_back(
                    doc.substr(end + 1, (textEnd == std::string_view::npos ? doc.size() : textEnd) - end - 1));
            }
        }
        if (!selfClosing) {
            open.push_back(name);
            // +2 leaves room for the <plist> element and a leaf inside the deepest container.
            if (open.size() > std::size_t(MAX_DEPTH) + 2) {
                error = "nesting deeper than " + std::to_string(MAX_DEPTH) + " levels";
                return false;
            }
        }
        pos = end + 1;
    }
    return true;
}

// ---- Binary pre-scan ----------------------------------------------------------------------------

// Walks the object graph of a binary document the way libplist will expand it, before libplist
// sees it: bounds depth and the expanded size (a small document whose containers share children
// can otherwise expand exponentially) and collects the exact date values in expansion order.
class BinaryScanner
{
public:
    explicit BinaryScanner(std::string_view doc)
        : m_doc(doc)
        , m_nodeBudget(doc.size() + 1024)
        , m_byteBudget(8 * std::uint64_t(doc.size()) + (16u << 20))
    {
    }

    bool scan()
    {
        if (!readTrailer()) {
            return false;
        }
        return walk(m_root, 0);
    }

    const std::vector<double>& dates() const { return m_dates; }
    const std::string& error() const { return m_error; }

private:
    bool fail(std::string text)
    {
        m_error = std::move(text);
        return false;
    }

    std::uint64_t readBigEndian(std::uint64_t offset, unsigned size) const
    {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < size; ++i) {
            value = (value << 8) | static_cast<unsigned char>(m_doc[offset + i]);
        }
        return value;
    }

    bool has(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= m_objectsEnd && length <= m_objectsEnd - offset;
    }

    bool readTrailer()
    {
        if (m_doc.size() < 8 + 32 || !m_doc.starts_with("bplist00")) {
            return fail("not a binary property list");
        }
        const std::uint64_t trailer = m_doc.size() - 32;
        m_offsetSize = static_cast<unsigned char>(m_doc[trailer + 6]);
        m_refSize = static_cast<unsigned char>(m_doc[trailer + 7]);
        m_objectCount = readBigEndian(trailer + 8, 8);
        m_root = readBigEndian(trailer + 16, 8);
        const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8) {
            return fail("malformed binary property list: bad offset or reference size");
        }
        if (m_objectCount == 0 || m_root >= m_objectCount || tableOffset < 8 || tableOffset > trailer
            || m_objectCount > (trailer - tableOffset) / m_offsetSize) {
            return fail("malformed binary property list: bad object table");
        }
        m_tableOffset = tableOffset;
        m_objectsEnd = tableOffset;
        return true;
    }

    bool objectOffset(std::uint64_t index, std::uint64_t& offset)
    {
        if (index >= m_objectCount) {
            return fail("malformed binary property list: reference out of range");
        }
        offset = readBigEndian(m_tableOffset + index * m_offsetSize, m_offsetSize);
        if (offset < 8 || offset >= m_objectsEnd) {
            return fail("malformed binary property list: object offset out of range");
        }
        return true;
    }

    bool readCount(std::uint64_t offset, std::uint64_t& count, std::uint64_t& start)
    {
        const unsigned low = static_cast<unsigned char>(m_doc[offset]) & 0x0F;
        start = offset + 1;
        if (low != 0x0F) {
            count = low;
            return true;
        }
        if (!has(start, 1)) {
            return fail("malformed binary property list: truncated length");
        }
        const unsigned marker = static_cast<unsigned char>(m_doc[start]);
        const unsigned size = 1u << (marker & 0x0F);
        if ((marker & 0xF0) != 0x10 || size > 8 || !has(start + 1, size)) {
            return fail("malformed binary property list: bad length");
        }
        count = readBigEndian(start + 1, size);
        start += 1 + size;
        return true;
    }

    bool spend(std::uint64_t bytes)
    {
        if (bytes > m_byteBudget) {
            return fail("binary property list expands beyond its size limit");
        }
        m_byteBudget -= bytes;
        return true;
    }

    // libplist aborts (an assertion) when a dictionary key holds a NUL character, so such keys,
    // and keys that are not strings at all, are refused here.
    bool checkKey(std::uint64_t index)
    {
        std::uint64_t offset = 0;
        std::uint64_t count = 0;
        std::uint64_t start = 0;
        if (!objectOffset(index, offset) || !readCount(offset, count, start)) {
            return m_error.empty() ? fail("malformed binary property list: bad dictionary key") : false;
        }
        const unsigned type = static_cast<unsigned char>(m_doc[offset]) >> 4;
        const std::uint64_t unit = type == 0x6 ? 2 : 1;
        if ((type != 0x5 && type != 0x6) || count > m_objectsEnd || !has(start, count * unit)) {
            return fail("malformed binary property list: bad dictionary key");
        }
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t at = start + i * unit;
            if (m_doc[at] == '\0' && (unit == 1 || m_doc[at + 1] == '\0')) {
                return fail("malformed binary property list: NUL character in a dictionary key");
            }
        }
        return true;
    }

    bool walk(std::uint64_t index, int depth)
    {
        if (m_nodeBudget == 0) {
            return fail("binary property list expands beyond its size limit");
        }
        --m_nodeBudget;
        std::uint64_t offset = 0;
        if (!objectOffset(index, offset)) {
            return false;
        }
        const unsigned marker = static_cast<unsigned char>(m_doc[offset]);
        const unsigned low = marker & 0x0F;
        std::uint64_t count = 0;
        std::uint64_t start = 0;
        switch (marker >> 4) {
        case 0x0:
            return true;
        case 0x1:
        case 0x2:
            if (low > 4 || !has(offset + 1, 1u << low)) {
                return fail("malformed binary property list: bad number");
            }
            return true;
        case 0x3: {
            if (marker != 0x33 || !has(offset + 1, 8)) {
                return fail("malformed binary property list: bad date");
            }
            m_dates.push_back(std::bit_cast<double>(readBigEndian(offset + 1, 8)));
            return true;
        }
        case 0x4:
        case 0x5:
            if (!readCount(offset, count, start) || !has(start, count)) {
                return m_error.empty() ? fail("malformed binary property list: truncated data or string") : false;
            }
            return spend(count);
        case 0x6:
            if (!readCount(offset, count, start) || count > m_objectsEnd || !has(start, count * 2)) {
                return m_error.empty() ? fail("malformed binary property list: truncated string") : false;
            }
            return spend(count * 3);
        case 0x8:
            if (!has(offset + 1, low + 1)) {
                return fail("malformed binary property list: bad uid");
            }
            return true;
        case 0xA:
        case 0xD: {
            if (depth >= MAX_DEPTH) {
                return fail("nesting deeper than " + std::to_string(MAX_DEPTH) + " levels");
            }
            const std::uint64_t perEntry = (marker >> 4) == 0xD ? 2 : 1;
            if (!readCount(offset, count, start)) {
                return false;
            }
            if (count > m_objectsEnd || !has(start, count * perEntry * m_refSize)) {
                return fail("malformed binary property list: truncated container");
            }
            for (std::uint64_t i = 0; i < count; ++i) {
                if (perEntry == 2) {
                    const std::uint64_t key = readBigEndian(start + i * m_refSize, m_refSize);
                    if (!checkKey(key) || !walk(key, depth + 1)) {
                        return false;
                    }
                }
                const std::uint64_t value = readBigEndian(start + (count * (perEntry - 1) + i) * m_refSize, m_refSize);
                if (!walk(value, depth + 1)) {
                    return false;
                }
            }
            return true;
        }
        default:
            return fail("malformed binary property list: unknown object type");
        }
    }

    std::string_view m_doc;
    std::uint64_t m_nodeBudget;
    std::uint64_t m_byteBudget;
    unsigned m_offsetSize { 0 };
    unsigned m_refSize { 0 };
    std::uint64_t m_objectCount { 0 };
    std::uint64_t m_root { 0 };
    std::uint64_t m_tableOffset { 0 };
    std::uint64_t m_objectsEnd { 0 };
    std::vector<double> m_dates;
    std::string m_error;
};

// ---- libplist tree to PlistValue ----------------------------------------------------------------

class Converter
{
public:
    // Exact date values in document order; nullopt falls back to libplist's own reading.
    explicit Converter(std::vector<std::optional<std::int64_t>> dates)
        : m_dates(std::move(dates))
    {
    }

    std::optional<PlistValue> convert(plist_t root, std::string* error)
    {
        std::optional<PlistValue> value = toValue(root, 0);
        if (value && m_nextDate != m_dates.size()) {
            m_error = "date elements do not match the parsed document";
            value.reset();
        }
        if (!value) {
            setError(error, m_error);
        }
        return value;
    }

private:
    std::optional<PlistValue> fail(std::string text)
    {
        m_error = std::move(text);
        return std::nullopt;
    }

    std::optional<PlistValue> toValue(plist_t node, int depth)
    {
        const plist_type type = plist_get_node_type(node);
        if ((type == PLIST_ARRAY || type == PLIST_DICT) && depth >= MAX_DEPTH) {
            return fail("nesting deeper than " + std::to_string(MAX_DEPTH) + " levels");
        }
        switch (type) {
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return PlistValue(value != 0);
        }
        case PLIST_UINT: {
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            if (value <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
                return PlistValue(static_cast<long long>(value));
            }
            // libplist keeps negative numbers and unsigned ones above 2^63 in the same field and
            // tells them apart only by an internal width; a node it built from the same bits with
            // the signed width compares equal exactly when this one is signed.
            PlistPtr signedNode(plist_new_uint(value));
            if (plist_compare_node_value(node, signedNode.get())) {
                return PlistValue(static_cast<long long>(static_cast<std::int64_t>(value)));
            }
            return PlistValue(static_cast<unsigned long long>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return PlistValue(value);
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            std::uint64_t length = 0;
            const char* text
                = plist_get_node_type(node) == PLIST_STRING ? plist_get_string_ptr(node, &length) : nullptr;
            if (text) {
                return PlistValue(std::string(text, length));
            }
            char* copy = nullptr;
            plist_get_key_val(node, &copy);
            PlistValue value(std::string(copy ? copy : ""));
            std::free(copy);
            return value;
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
            return PlistValue(bytes ? PlistData(begin, begin + length) : PlistData());
        }
        case PLIST_DATE: {
            if (m_nextDate >= m_dates.size()) {
                return fail("date elements do not match the parsed document");
            }
            const std::optional<std::int64_t> exact = m_dates[m_nextDate++];
            if (exact) {
                return PlistValue(PlistDate { *exact });
            }
            std::int32_t seconds = 0;
            std::int32_t micros = 0;
            plist_get_date_val(node, &seconds, &micros);
            return PlistValue(PlistDate { (EPOCH_2001 + seconds) * MICROS_PER_SECOND + micros });
        }
        case PLIST_UID: {
            std::uint64_t value = 0;
            plist_get_uid_val(node, &value);
            return PlistValue(PlistUid { value });
        }
        case PLIST_ARRAY: {
            PlistArray array;
            const std::uint32_t size = plist_array_get_size(node);
            array.reserve(size);
            // The iterator, not plist_array_get_item(): that walks the list from the start each
            // time for arrays read from binary, which made large documents quadratic.
            plist_array_iter iterator = nullptr;
            plist_array_new_iter(node, &iterator);
            std::unique_ptr<void, decltype(&std::free)> iteratorOwner(iterator, &std::free);
            for (std::uint32_t i = 0; i < size; ++i) {
                plist_t child = nullptr;
                plist_array_next_item(node, iterator, &child);
                std::optional<PlistValue> item
                    = child ? toValue(child, depth + 1) : fail("array shorter than its size");
                if (!item) {
                    return std::nullopt;
                }
                array.push_back(std::move(*item));
            }
            return PlistValue(std::move(array));
        }
        case PLIST_DICT: {
            // libplist writes a uid to XML as {CF$UID = n} and does not read that form back.
            plist_t uid = plist_dict_get_size(node) == 1 ? plist_dict_get_item(node, "CF$UID") : nullptr;
            if (uid && plist_get_node_type(uid) == PLIST_UINT) {
                std::uint64_t value = 0;
                plist_get_uint_val(uid, &value);
                if (value <= std::numeric_limits<std::uint32_t>::max()) {
                    return PlistValue(PlistUid { value });
                }
            }
            PlistDictionary dictionary;
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            std::optional<PlistValue> result;
            for (;;) {
                char* key = nullptr;
                plist_t child = nullptr;
                plist_dict_next_item(node, iterator, &key, &child);
                if (!child) {
                    std::free(key);
                    result = PlistValue(std::move(dictionary));
                    break;
                }
                std::optional<PlistValue> item = toValue(child, depth + 1);
                if (!item) {
                    std::free(key);
                    break;
                }
                // A repeated key keeps its last value, as property-list readers generally do.
                dictionary.insert_or_assign(std::string(key ? key : ""), std::move(*item));
                std::free(key);
            }
            std::free(iterator);
            return result;
        }
        case PLIST_NONE:
            break;
        }
        return fail("unsupported node in property list");
    }

    std::vector<std::optional<std::int64_t>> m_dates;
    std::size_t m_nextDate { 0 };
    std::string m_error;
};

// ---- PlistValue to libplist tree ----------------------------------------------------------------

enum class Format {
    Xml,
    Binary,
};

/// True for well-formed UTF-8 without a NUL: no overlong forms, surrogates or code points above
/// U+10FFFF. libplist writes other bytes as they are (XML) or through a broken UTF-16 conversion
/// (binary), giving a document that no reader, ours included, accepts; so the encoders refuse
/// such a string or key, as they refuse a NUL. A phone may send them in a binary ASCII string.
bool isWritableText(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead == 0) {
            return false;
        }
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            point = (point << 6) | (next & 0x3F);
        }
        const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

plist_t newUnsignedNode(std::uint64_t value)
{
    // The public constructor always makes the signed 64-bit form, which writes values above 2^63
    // as negative numbers. The XML reader makes the unsigned form from a decimal above INT64_MAX.
    char document[128];
    const int length = std::snprintf(
        document, sizeof document, "<plist version=\"1.0\"><integer>%" PRIu64 "</integer></plist>", value);
    plist_t node = nullptr;
    plist_from_xml(document, std::uint32_t(length), &node);
    if (node && plist_get_node_type(node) != PLIST_UINT) {
        plist_free(node);
        node = nullptr;
    }
    return node;
}

class Builder
{
public:
    explicit Builder(Format format)
        : m_format(format)
    {
    }

    PlistPtr build(const PlistValue& value) { return PlistPtr(toNode(value, 0)); }
    // Every date in the order libplist writes them.
    const std::vector<std::int64_t>& dates() const { return m_dates; }

private:
    plist_t toNode(const PlistValue& value, int depth)
    {
        if ((value.isArray() || value.isDictionary()) && depth >= MAX_DEPTH) {
            return nullptr;
        }
        switch (value.type()) {
        case PlistValue::Type::Null:
            return nullptr;
        case PlistValue::Type::Boolean:
            return plist_new_bool(*value.toBool() ? 1 : 0);
        case PlistValue::Type::Integer:
            if (value.isUnsignedInteger()) {
                const std::uint64_t number = *value.toUInt64();
                if (number > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
                    return newUnsignedNode(number);
                }
                return plist_new_uint(number);
            }
            return plist_new_uint(static_cast<std::uint64_t>(*value.toInt64()));
        case PlistValue::Type::Real:
            return plist_new_real(*value.toDouble());
        case PlistValue::Type::String: {
            const std::string& text = *value.asString();
            if (!isWritableText(text)) {
                return nullptr; // libplist strings end at the first NUL; refuse rather than cut
            }
            return plist_new_string(text.c_str());
        }
        case PlistValue::Type::Data: {
            const PlistData& data = *value.asData();
            return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
        }
        case PlistValue::Type::Date:
            return dateNode(value.toDate()->microsecondsSince1970);
        case PlistValue::Type::Uid:
            // libplist's binary writer keeps only the low 32 bits; refuse rather than corrupt.
            if (value.toUid()->value > std::numeric_limits<std::uint32_t>::max()) {
                return nullptr;
            }
            return plist_new_uid(value.toUid()->value);
        case PlistValue::Type::Array: {
            PlistPtr array(plist_new_array());
            for (const PlistValue& item : *value.asArray()) {
                plist_t child = toNode(item, depth + 1);
                if (!child) {
                    return nullptr;
                }
                plist_array_append_item(array.get(), child);
            }
            return array.release();
        }
        case PlistValue::Type::Dictionary: {
            PlistPtr dictionary(plist_new_dict());
            for (const auto& [key, item] : *value.asDictionary()) {
                if (!isWritableText(key)) {
                    return nullptr;
                }
                plist_t child = toNode(item, depth + 1);
                if (!child) {
                    return nullptr;
                }
                plist_dict_set_item(dictionary.get(), key.c_str(), child);
            }
            return dictionary.release();
        }
        }
        return nullptr;
    }

    plist_t dateNode(std::int64_t microsSince1970)
    {
        if (m_format == Format::Xml) {
            // The text is written afterwards (libplist would drop the fraction); check it can be.
            if (!formatXmlDate(microsSince1970)) {
                return nullptr;
            }
            m_dates.push_back(microsSince1970);
            return plist_new_date(0, 0);
        }
        // libplist 2.2 holds 32-bit seconds; it writes seconds + micros / 1e6 as the double.
        const std::int64_t since2001 = microsSince1970 - EPOCH_2001 * MICROS_PER_SECOND;
        const std::int64_t seconds = floorDiv(since2001, MICROS_PER_SECOND);
        const std::int64_t micros = since2001 - seconds * MICROS_PER_SECOND;
        if (seconds < std::numeric_limits<std::int32_t>::min() || seconds > std::numeric_limits<std::int32_t>::max()) {
            return nullptr;
        }
        m_dates.push_back(microsSince1970);
        return plist_new_date(std::int32_t(seconds), std::int32_t(micros));
    }

    Format m_format;
    std::vector<std::int64_t> m_dates;
};

bool checkSize(std::string_view document, std::string* error)
{
    if (document.empty()) {
        setError(error, "empty property list");
        return false;
    }
    if (document.size() > PlistCodec::MAX_DOCUMENT_SIZE) {
        setError(error,
            "property list of " + std::to_string(document.size()) + " bytes exceeds the limit of "
                + std::to_string(PlistCodec::MAX_DOCUMENT_SIZE) + " bytes");
        return false;
    }
    return true;
}

} // namespace

std::optional<PlistValue> PlistCodec::fromXml(std::string_view document, std::string* error)
{
    if (!checkSize(document, error)) {
        return std::nullopt;
    }
    std::vector<std::string_view> dateTexts;
    std::string scanError;
    if (!scanXml(document, dateTexts, scanError)) {
        setError(error, "malformed XML property list: " + scanError);
        return std::nullopt;
    }
    // A private, NUL-terminated copy: the reader must not depend on what follows the view.
    const std::string text(document);
    plist_t rawRoot = nullptr;
    {
        CNumericLocale cLocale;
        plist_from_xml(text.data(), std::uint32_t(text.size()), &rawRoot);
    }
    PlistPtr root(rawRoot);
    if (!root) {
        setError(error, "malformed XML property list");
        return std::nullopt;
    }
    std::vector<std::optional<std::int64_t>> dates;
    dates.reserve(dateTexts.size());
    for (std::string_view dateText : dateTexts) {
        dates.push_back(parseXmlDate(dateText));
    }
    return Converter(std::move(dates)).convert(root.get(), error);
}

std::optional<PlistValue> PlistCodec::fromBinary(std::string_view document, std::string* error)
{
    if (!checkSize(document, error)) {
        return std::nullopt;
    }
    BinaryScanner scanner(document);
    if (!scanner.scan()) {
        setError(error, scanner.error());
        return std::nullopt;
    }
    plist_t rawRoot = nullptr;
    plist_from_bin(document.data(), std::uint32_t(document.size()), &rawRoot);
    PlistPtr root(rawRoot);
    if (!root) {
        setError(error, "malformed binary property list");
        return std::nullopt;
    }
    std::vector<std::optional<std::int64_t>> dates;
    dates.reserve(scanner.dates().size());
    for (double since2001 : scanner.dates()) {
        // Property lists store seconds since 2001 as a double; microseconds are rounded, not
        // truncated, so a value written from whole microseconds reads back exactly.
        const double micros = std::round(since2001 * 1e6);
        if (!(std::fabs(micros) < 9.0e18)) {
            setError(error, "date out of range in binary property list");
            return std::nullopt;
        }
        dates.emplace_back(std::int64_t(micros) + EPOCH_2001 * MICROS_PER_SECOND);
    }
    return Converter(std::move(dates)).convert(root.get(), error);
}

std::optional<PlistValue> PlistCodec::fromAny(std::string_view document, std::string* error)
{
    if (document.starts_with("bplist00")) {
        return fromBinary(document, error);
    }
    return fromXml(document, error);
}

std::optional<std::string> PlistCodec::toXml(const PlistValue& value)
{
    Builder builder(Format::Xml);
    PlistPtr root = builder.build(value);
    if (!root) {
        return std::nullopt;
    }
    char* raw = nullptr;
    std::uint32_t length = 0;
    {
        CNumericLocale cLocale;
        plist_to_xml(root.get(), &raw, &length);
    }
    if (!raw) {
        return std::nullopt;
    }
    std::string written(raw, length);
    plist_to_xml_free(raw);

    // Put in the exact date texts. libplist writes nodes in the order they were added, which is
    // the order Builder recorded them, and escapes '<' in strings, so every "<date>" is a date.
    std::string result;
    result.reserve(written.size() + builder.dates().size() * 8);
    std::size_t pos = 0;
    for (std::int64_t date : builder.dates()) {
        static constexpr std::string_view OPEN = "<date>";
        static constexpr std::string_view CLOSE = "</date>";
        const std::size_t open = written.find(OPEN, pos);
        const std::size_t close = open == std::string::npos ? open : written.find(CLOSE, open);
        if (close == std::string::npos) {
            return std::nullopt;
        }
        result.append(written, pos, open + OPEN.size() - pos);
        result += *formatXmlDate(date);
        pos = close;
    }
    if (written.find("<date>", pos) != std::string::npos) {
        return std::nullopt;
    }
    result.append(written, pos);
    return result;
}

std::optional<std::string> PlistCodec::toBinary(const PlistValue& value)
{
    Builder builder(Format::Binary);
    PlistPtr root = builder.build(value);
    if (!root) {
        return std::nullopt;
    }
    char* raw = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &raw, &length);
    if (!raw) {
        return std::nullopt;
    }
    std::string result(raw, length);
    plist_to_bin_free(raw);
    return result;
}
