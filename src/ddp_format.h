// The records of a DDP 2.00 fileset, each laid out in one table: the 128-byte
// identifier DDPID, the 128-byte packet of the map DDPMS and the 64-byte entry
// of a PQ descriptor stream. They are fixed-width ASCII without line ends. A
// table names every field with its offset, width and kind; `ddp_encode` turns a
// record into its exact bytes and `ddp_decode` reads bytes back, both from that
// table alone, so that the writer and the reader cannot disagree on a position.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

/// How a field holds its value.
enum class ddp_kind {
    fixed,  ///< always the same bytes (`fixed`): a record's mark, a constant
    blank,  ///< reserved: written as blanks, never read
    text,   ///< left-aligned, padded with blanks, cut to the width; read with the blanks around it trimmed
    code,   ///< written as text, read exactly as it stands
    name,   ///< a file name: written as text, read up to its first blank
    number, ///< right-aligned decimal digits after blanks; all blanks when absent
    digits, ///< decimal digits with leading zeros filling the field; all blanks when absent
    track,  ///< like digits, but the lead-out's track number 170 is "AA"
    hex,    ///< hexadecimal digits filling the field
};

/// One field of a record of type R: where it is, how it is written, and which member holds it
/// (a string for text, code and name; a number for the others). Numbers read -1 when the field is
/// blank and -2 when it holds anything else than its kind allows.
template <class R> struct ddp_field {
    const char *name; ///< as messages call it
    std::size_t offset;
    std::size_t width;
    ddp_kind kind;
    std::string R::*text = nullptr;
    long R::*number = nullptr;
    const char *fixed = "";
};

/// A number field that holds neither blanks nor a number, as decoding found it.
struct ddp_field_fault {
    const char *field; ///< the field's name
    std::string bytes; ///< the field as it stands
};

/// The identifier DDPID.
struct ddp_id_record {
    static constexpr std::size_t size = 128;
    static constexpr std::string_view mark = "DDP "; ///< how the level begins
    std::string level = "DDP 2.00";
    std::string upc_ean;
    std::string master_id;
    std::string medium = "CD";
    long user_text_length = -1; ///< the characters of `user_text` that count, blank when none
    std::string user_text;
    bool operator==(const ddp_id_record &) const = default;
};

/// A packet of the map DDPMS: one stream of the disc and the file that holds it.
struct ddp_map_packet {
    static constexpr std::size_t size = 128;
    static constexpr std::string_view mark = "VVVM";
    std::string type;      ///< data stream type: D0 main data, S0 subcode, T0-T3 text
    long dsl = -1;         ///< data stream length: sectors for D streams, bytes for S and T
    long dss = -1;         ///< data stream start sector
    std::string subcode;   ///< "PQ DESCR", "CDTEXT", ...
    std::string mode;      ///< CD mode: "DA" for audio
    std::string ssm = " "; ///< source storage mode
    std::string scm = " "; ///< source compression mode
    long pre1 = -1;        ///< pregap, part 1
    long pre2 = -1;        ///< pregap, part 2: the audio stream's pregap of track 1
    long track = -1;
    std::string dsi;       ///< the file's name
    long offset = -1;      ///< bytes into the file where the stream starts
    bool operator==(const ddp_map_packet &) const = default;
};

/// An entry of the PQ descriptor stream: one index point of the disc in Q-subcode terms.
struct ddp_pq_entry {
    static constexpr std::size_t size = 64;
    static constexpr std::string_view mark = "VVVS";
    static constexpr long lead_out_track = 170; ///< the lead-out, written "AA"
    long track = 0;          ///< 0 the lead-in, 1-99, or lead_out_track
    long index = 0;
    long hours = -1;         ///< blank on a CD
    long minutes = 0;
    long seconds = 0;
    long frames = 0;
    long control = 0;        ///< the Q-subcode CONTROL nibble
    std::string copy = "1";  ///< "S" for the serial copy management system
    std::string isrc;
    std::string upc_ean;
    std::string user_text;
    bool operator==(const ddp_pq_entry &) const = default;
};

/// The table of each record: every byte of the record in exactly one field, in offset order.
template <class R> std::span<const ddp_field<R>> ddp_layout();
template <> std::span<const ddp_field<ddp_id_record>> ddp_layout<ddp_id_record>();
template <> std::span<const ddp_field<ddp_map_packet>> ddp_layout<ddp_map_packet>();
template <> std::span<const ddp_field<ddp_pq_entry>> ddp_layout<ddp_pq_entry>();

/// The record's exact bytes; nullopt when a number does not fit into its field, which would
/// shift every field after it.
std::optional<std::string> ddp_encode(const ddp_id_record &r);
std::optional<std::string> ddp_encode(const ddp_map_packet &r);
std::optional<std::string> ddp_encode(const ddp_pq_entry &r);

/// Reads a record from the first `R::size` bytes of `bytes`, which must hold that many. Each number
/// field (kind number) that is neither blank nor a number is added to `faults`, in offset order.
ddp_id_record ddp_decode_id(std::string_view bytes, std::vector<ddp_field_fault> *faults = nullptr);
ddp_map_packet ddp_decode_map(std::string_view bytes, std::vector<ddp_field_fault> *faults = nullptr);
ddp_pq_entry ddp_decode_pq(std::string_view bytes, std::vector<ddp_field_fault> *faults = nullptr);

/// Whether a record begins with its mark.
template <class R> bool ddp_has_mark(std::string_view bytes) { return bytes.substr(0, R::mark.size()) == R::mark; }
/// The bytes where a record's mark should be, for a message.
template <class R> std::string_view ddp_mark_bytes(std::string_view bytes) { return bytes.substr(0, R::mark.size()); }

/// The field held by `member`, or null.
template <class R, class T> const ddp_field<R> *ddp_field_of(T R::*member)
{
    for (const ddp_field<R> &f : ddp_layout<R>()) {
        if constexpr (std::is_same_v<T, std::string>) {
            if (f.text == member)
                return &f;
        } else if (f.number == member) {
            return &f;
        }
    }
    return nullptr;
}

/// A field of a record as it stands in `bytes`, for a message, found by the member that holds it.
template <class R, class T> std::string_view ddp_field_bytes(std::string_view bytes, T R::*member)
{
    const ddp_field<R> *f = ddp_field_of(member);
    return f != nullptr ? bytes.substr(f->offset, f->width) : std::string_view();
}

/// The width of the field held by `member`.
template <class R, class T> std::size_t ddp_field_width(T R::*member)
{
    const ddp_field<R> *f = ddp_field_of(member);
    return f != nullptr ? f->width : 0;
}
