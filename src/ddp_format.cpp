#include "ddp_format.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

using K = ddp_kind;
using id = ddp_id_record;
using ms = ddp_map_packet;
using pq = ddp_pq_entry;

// DDPID: the level, the UPC/EAN, the master identifier and the medium, then the user text
// with its length. The bytes between them are reserved for the map's location and the sides
// and layers of media other than a CD; a CD leaves them blank.
constexpr std::array<ddp_field<id>, 9> id_layout{{
    {"level", 0, 8, K::code, &id::level},
    {"UPC/EAN", 8, 13, K::text, &id::upc_ean},
    {"reserved", 21, 17, K::blank},
    {"master identifier", 38, 48, K::text, &id::master_id},
    {"reserved", 86, 1, K::blank},
    {"medium", 87, 2, K::text, &id::medium},
    {"reserved", 89, 5, K::blank},
    {"user text length", 94, 2, K::number, nullptr, &id::user_text_length},
    {"user text", 96, 32, K::text, &id::user_text},
}};

// A map packet: the stream's type, length and start, its subcode and CD mode, the pregap,
// and the file that holds it (the name's length is always given as 17) from a byte offset on.
constexpr std::array<ddp_field<ms>, 19> map_layout{{
    {"mark", 0, 4, K::fixed, nullptr, nullptr, "VVVM"},
    {"data stream type (DST)", 4, 2, K::code, &ms::type},
    {"reserved", 6, 8, K::blank},
    {"data stream length (DSL)", 14, 8, K::number, nullptr, &ms::dsl},
    {"data stream start (DSS)", 22, 8, K::number, nullptr, &ms::dss},
    {"subcode (SUB)", 30, 8, K::text, &ms::subcode},
    {"CD mode (CDM)", 38, 2, K::code, &ms::mode},
    {"source storage mode (SSM)", 40, 1, K::code, &ms::ssm},
    {"source compression mode (SCM)", 41, 1, K::code, &ms::scm},
    {"pregap part 1 (PRE1)", 42, 4, K::number, nullptr, &ms::pre1},
    {"pregap part 2 (PRE2)", 46, 4, K::number, nullptr, &ms::pre2},
    {"reserved", 50, 5, K::blank},
    {"track (TRK)", 55, 2, K::digits, nullptr, &ms::track},
    {"reserved", 57, 15, K::blank},
    {"file name length", 72, 2, K::fixed, nullptr, nullptr, "17"},
    {"file name (DSI)", 74, 17, K::name, &ms::dsi},
    {"reserved", 91, 13, K::blank},
    {"file offset", 104, 9, K::number, nullptr, &ms::offset},
    {"reserved", 113, 15, K::blank},
}};

// A PQ entry: track and index, the position (hours blank on a CD), the CONTROL nibble and the
// copy mark, then the ISRC, the UPC/EAN and a user text.
constexpr std::array<ddp_field<pq>, 13> pq_layout{{
    {"mark", 0, 4, K::fixed, nullptr, nullptr, "VVVS"},
    {"track", 4, 2, K::track, nullptr, &pq::track},
    {"index", 6, 2, K::digits, nullptr, &pq::index},
    {"hours", 8, 2, K::digits, nullptr, &pq::hours},
    {"minutes", 10, 2, K::digits, nullptr, &pq::minutes},
    {"seconds", 12, 2, K::digits, nullptr, &pq::seconds},
    {"frames", 14, 2, K::digits, nullptr, &pq::frames},
    {"control", 16, 1, K::hex, nullptr, &pq::control},
    {"copy mark", 17, 1, K::code, &pq::copy},
    {"reserved", 18, 2, K::blank},
    {"ISRC", 20, 12, K::text, &pq::isrc},
    {"UPC/EAN", 32, 13, K::text, &pq::upc_ean},
    {"user text", 45, 19, K::text, &pq::user_text},
}};

/// Every byte of a record in exactly one field, the fields in offset order.
template <class R, std::size_t N> constexpr bool tiles(const std::array<ddp_field<R>, N> &layout)
{
    std::size_t at = 0;
    for (const ddp_field<R> &f : layout) {
        if (f.offset != at || f.width == 0)
            return false;
        at += f.width;
    }
    return at == R::size;
}
static_assert(tiles(id_layout) && tiles(map_layout) && tiles(pq_layout));

/// A number in its field: right-aligned after blanks, or with leading zeros; "" when it does not fit.
std::string number_text(long value, std::size_t width, const char *format)
{
    std::array<char, 32> text{};
    const int n = std::snprintf(text.data(), text.size(), format, static_cast<int>(width), value);
    return n == static_cast<int>(width) ? std::string(text.data()) : std::string();
}

/// One field's bytes; "" when its number does not fit.
template <class R> std::string field_bytes(const R &r, const ddp_field<R> &f)
{
    const long value = f.number != nullptr ? r.*f.number : 0;
    switch (f.kind) {
    case K::fixed: return f.fixed;
    case K::blank: return std::string(f.width, ' ');
    case K::text:
    case K::code:
    case K::name: {
        std::string text = (r.*f.text).substr(0, f.width);
        return text.append(f.width - text.size(), ' ');
    }
    case K::number: return value < 0 ? std::string(f.width, ' ') : number_text(value, f.width, "%*ld");
    case K::track:
        if (value == pq::lead_out_track)
            return std::string(f.width, 'A');
        [[fallthrough]];
    case K::digits: return value < 0 ? std::string(f.width, ' ') : number_text(value, f.width, "%0*ld");
    case K::hex: return value < 0 ? std::string() : number_text(value, f.width, "%0*lX");
    }
    return {};
}

template <class R> std::optional<std::string> encode(const R &r)
{
    std::string bytes;
    for (const ddp_field<R> &f : ddp_layout<R>()) {
        const std::string field = field_bytes(r, f);
        if (field.size() != f.width)
            return std::nullopt;
        bytes += field;
    }
    return bytes;
}

bool all_blank(std::string_view field) { return field.find_first_not_of(' ') == std::string_view::npos; }

/// A number field: digits with blanks around them. -1 blank, -2 anything else.
long read_number(std::string_view field)
{
    if (all_blank(field))
        return -1;
    field.remove_prefix(field.find_first_not_of(' '));
    field.remove_suffix(field.size() - 1 - field.find_last_not_of(' '));
    long value = 0;
    for (const char c : field) {
        if (c < '0' || c > '9')
            return -2;
        value = value * 10 + (c - '0'); // at most 9 digits: no overflow
    }
    return value;
}

/// Digits that fill the field, in base 10 or 16. -1 blank, -2 anything else.
long read_digits(std::string_view field, int base)
{
    if (all_blank(field))
        return -1;
    long value = 0;
    for (const char c : field) {
        const int digit = c >= '0' && c <= '9'               ? c - '0'
                          : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                               : -1;
        if (digit < 0)
            return -2;
        value = value * base + digit;
    }
    return value;
}

std::string read_text(std::string_view field, ddp_kind kind)
{
    if (kind == K::code)
        return std::string(field);
    if (kind == K::name)
        return std::string(field.substr(0, std::min(field.find(' '), field.size())));
    if (all_blank(field))
        return {};
    const auto first = field.find_first_not_of(' ');
    return std::string(field.substr(first, field.find_last_not_of(' ') - first + 1));
}

template <class R> R decode(std::string_view bytes, std::vector<ddp_field_fault> *faults)
{
    R r;
    for (const ddp_field<R> &f : ddp_layout<R>()) {
        const std::string_view field = bytes.substr(f.offset, f.width);
        if (f.text != nullptr) {
            r.*f.text = read_text(field, f.kind);
            continue;
        }
        if (f.number == nullptr)
            continue;
        long &value = r.*f.number;
        if (f.kind == K::number)
            value = read_number(field);
        else if (f.kind == K::track && (field == "AA" || field == "aa"))
            value = pq::lead_out_track;
        else
            value = read_digits(field, f.kind == K::hex ? 16 : 10);
        if (value == -2 && f.kind == K::number && faults != nullptr)
            faults->push_back({f.name, std::string(field)});
    }
    return r;
}

} // namespace

template <> std::span<const ddp_field<id>> ddp_layout<id>() { return id_layout; }
template <> std::span<const ddp_field<ms>> ddp_layout<ms>() { return map_layout; }
template <> std::span<const ddp_field<pq>> ddp_layout<pq>() { return pq_layout; }

std::optional<std::string> ddp_encode(const ddp_id_record &r) { return encode(r); }
std::optional<std::string> ddp_encode(const ddp_map_packet &r) { return encode(r); }
std::optional<std::string> ddp_encode(const ddp_pq_entry &r) { return encode(r); }

ddp_id_record ddp_decode_id(std::string_view bytes, std::vector<ddp_field_fault> *faults)
{
    return decode<id>(bytes, faults);
}

ddp_map_packet ddp_decode_map(std::string_view bytes, std::vector<ddp_field_fault> *faults)
{
    return decode<ms>(bytes, faults);
}

ddp_pq_entry ddp_decode_pq(std::string_view bytes, std::vector<ddp_field_fault> *faults)
{
    return decode<pq>(bytes, faults);
}
