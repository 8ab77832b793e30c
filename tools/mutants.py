#!/usr/bin/env python3
"""Mutation testing of korvel: does the test suite notice a fault put into the code?

Each mutation below is one small change of today's source (an exact snippet and its
replacement): a comparison flipped, a bound off by one, a field width changed, a byte-order
swap dropped, a check removed, a constant changed. The runner copies the tracked files once
into a scratch folder, configures and builds the `dev` preset there and runs the whole CTest
suite on the unchanged tree (it must pass). Then, one mutation at a time, it changes the
file, builds incrementally, runs the suite with a per-test timeout and puts the file back:

  killed        some test failed (the tests that failed are named)
  survived      every test passed: no test notices this fault
  build-broken  the mutated tree did not build; it counts neither way, fix the mutation
  stale         the snippet is no longer in the source (or not exactly once): update the list

The last line is `mutation score: K of N killed`, N counting the mutations that built and ran.
By default the suite stops at the first failing test (fast tests first); --full runs all of it
for every mutation, which names every test that kills each one. It runs outside CI: the whole
list takes about forty minutes on two cores (README, "Tests").

  tools/mutants.py                 every mutation
  tools/mutants.py --only cdtext   those whose id, file or description matches
  tools/mutants.py --list          the list, with the stale ones marked

The second mode runs mutants that no one chose: generated from the syntax tree by libclang, at every
operator, constant, condition, statement and return value of src/, a seeded sample of them spread over
the modules by size (tools/mutant_sites.py says which operators; tools/mutants-equivalent.txt lists the
survivors that cannot change behaviour, with why; those are neither run nor counted):

  tools/mutants.py --sample 80 --seed 1                       draw 80, run them
  tools/mutants.py --sample 200 --seed 7 --part 1/4 --results r.jsonl
                                                              a quarter of them; the other parts and a
                                                              stopped run add to the same results file
  tools/mutants.py --sample 200 --seed 7 --list               the sample, equivalents marked
  tools/mutants.py --sample 200 --seed 7 --again --results r.jsonl
                                                              the survivors again, once tests were added
"""

import argparse
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class M:
    """One mutation: in `file` (under src/), `old` (found exactly once) becomes `new`."""

    def __init__(self, ident, file, description, old, new):
        self.id, self.file, self.description, self.old, self.new = ident, "src/" + file, description, old, new

    def label(self):
        return "%s %s: %s" % (self.id, self.file, self.description)


MUTATIONS = [
    # crc
    M("crc-poly", "crc.cpp", "CRC-32 polynomial changed",
      "crc32_polynomial = 0xEDB88320u;", "crc32_polynomial = 0xEDB88321u;"),
    M("crc-slice", "crc.cpp", "a byte of the 16-byte slice looked up at the wrong shift",
      "t[0][(w3 >> 16) & 0xFF]", "t[0][(w3 >> 8) & 0xFF]"),
    M("crc-clmul", "crc.cpp", "a folding constant of the carry-less method changed",
      "k_x544 = 0x0154442bd4;", "k_x544 = 0x0154442bd5;"),
    M("crc-final", "crc.cpp", "final XOR of the register changed",
      "void crc32_finish(std::uint64_t *state) { *state ^= crc32_all_ones; }",
      "void crc32_finish(std::uint64_t *state) { *state ^= 0xFFFFFFFEu; }"),
    # md5
    M("md5-const", "md5.cpp", "a round constant changed", "x(5) + 0x4787c62a", "x(5) + 0x4787c62b"),
    M("md5-length", "md5.cpp", "message length stored high byte first",
      "length[i] = static_cast<std::uint8_t>(ctx->count[i / 4] >> (8 * (i % 4)));",
      "length[i] = static_cast<std::uint8_t>(ctx->count[i / 4] >> (8 * (3 - i % 4)));"),
    M("md5-block", "md5.cpp", "a block filled exactly by an append is left unprocessed",
      "        if (n < room)\n            return;", "        if (n <= room)\n            return;"),
    # log
    M("log-level", "log.cpp", "messages of the verbosity level itself are filtered out",
      "bool shown(int level) { return level <= verbosity_level; }",
      "bool shown(int level) { return level < verbosity_level; }"),
    # tolk_utils
    M("utils-cr", "tolk_utils.cpp", "a lone CR swallows the first byte of the next line",
      "            if (next != '\\n' && next != EOF)\n                std::ungetc(next, fp);",
      "            if (next == EOF)\n                std::ungetc(next, fp);"),
    M("utils-stricmp", "tolk_utils.cpp", "case-insensitive compare takes the second text's case",
      "const int cb = std::tolower(*q);", "const int cb = *q;"),
    M("utils-close", "tolk_utils.cpp", "a write error noted before the close is not reported",
      "    if (std::ferror(fp)) {\n        ok = false;", "    if (false) {\n        ok = false;"),
    # pqlist
    M("pq-frames", "pqlist.cpp", "frames of MSF taken modulo 74",
      "*f = static_cast<std::uint8_t>(frames % CD_FRAMES_PER_SECOND);", "*f = static_cast<std::uint8_t>(frames % 74);"),
    M("pq-digits", "pqlist.cpp", "time fields take two digits at most",
      "if (++digits[field] > 3)", "if (++digits[field] > 2)"),
    M("pq-ean-weights", "pqlist.cpp", "EAN-13 weights swapped",
      "((i % 2 == 0) ? 1 : 3)", "((i % 2 == 0) ? 3 : 1)"),
    M("pq-isrc-owner", "pqlist.cpp", "ISRC registrant code may not hold digits",
      "i < 5 ? (upper || digit) : digit", "i < 5 ? upper : digit"),
    M("pq-length-mode", "pqlist.cpp", "track length mode inverted",
      "if (mode != 0 || u->index[0] == -1)", "if (mode == 0 || u->index[0] == -1)"),
    M("pq-pregap-150", "pqlist.cpp", "a first pregap of exactly two seconds is refused",
      "if (pregap < CD_FIRST_PREGAP_FRAMES)", "if (pregap <= CD_FIRST_PREGAP_FRAMES)"),
    M("pq-four-seconds", "pqlist.cpp", "a track of exactly four seconds is refused",
      "end - t->index[1] < 4 * CD_FRAMES_PER_SECOND", "end - t->index[1] <= 4 * CD_FRAMES_PER_SECOND"),
    M("pq-last-frame", "pqlist.cpp", "a lead-out at 89:59:74 is refused",
      "if (pq.lead_out > CD_LAST_FRAME)\n        breaks", "if (pq.lead_out >= CD_LAST_FRAME)\n        breaks"),
    M("pq-catalog-length", "pqlist.cpp", "a 12-digit catalog number passes the Red Book check",
      "catalog_len != 0 && catalog_len != 13", "catalog_len != 0 && catalog_len < 12"),
    M("pq-songwriter-cue", "cue_writer.cpp", "the cue sheet writer leaves track songwriters out",
      "        std::fprintf(out, \"    SONGWRITER \\\"%s\\\"\\n\", t->songwriter->c_str());", "        ;"),
    M("pq-pack-count", "cdtext_writer.cpp", "the pack count takes each pack for two",
      "    else\n        ++w->seq;", "    else\n        w->seq += 2;"),
    M("pq-html-escape", "pq_sheet.cpp", "'<' is not escaped in the PQ sheet",
      "case '<': out += \"&lt;\"; break;", "case '<': out += \"<\"; break;"),
    M("pq-scms-column", "pqlist.cpp", "the listing's SCMS column shows the 4CH flag",
      "yes_no(t->flags & PQ_FLAG_SCMS));", "yes_no(t->flags & PQ_FLAG_4CH));"),
    # cdtext
    M("cdtext-poly", "cdtext_pack.cpp", "CD-Text CRC polynomial changed",
      "(reg << 1) ^ 0x1021", "(reg << 1) ^ 0x1201"),
    M("cdtext-crc-invert", "cdtext_pack.cpp", "CD-Text CRC not inverted",
      "return static_cast<std::uint16_t>(reg ^ 0xFFFF);", "return static_cast<std::uint16_t>(reg);"),
    M("cdtext-crc-order", "cdtext_pack.cpp", "CD-Text CRC written low byte first",
      "out[PACK_CRC] = static_cast<std::uint8_t>(crc >> 8);\n    out[PACK_CRC + 1] = static_cast<std::uint8_t>(crc);",
      "out[PACK_CRC] = static_cast<std::uint8_t>(crc);\n    out[PACK_CRC + 1] = static_cast<std::uint8_t>(crc >> 8);"),
    M("cdtext-charpos", "cdtext_writer.cpp", "character position wraps at 16 instead of stopping at 15",
      "static_cast<std::uint8_t>(chars < 15 ? chars : 15)", "static_cast<std::uint8_t>(chars & 15)"),
    M("cdtext-msjis-pad", "cdtext_writer.cpp", "an MS-JIS text of odd length ends without the NUL that keeps the pairs",
      "    if (w->fill % 2 != 0)\n        put_byte(", "    if (false)\n        put_byte("),
    M("cdtext-msjis-split", "cdtext_writer.cpp", "a two-byte character split across packs",
      "if (two && w->fill == CDTEXT_PACK_TEXT - 1)", "if (false)"),
    M("cdtext-msjis-repeat", "cdtext_reader.cpp", "two TABs read as a text of their own",
      "repeat_mark_(width, '\\t')", "repeat_mark_(1, '\\t')"),
    M("cdtext-msjis-language", "pq_cdtext.cpp", "Japanese CD-Text declares English",
      "cdtw_set_language(writer, CDTEXT_LANGUAGE_JAPANESE);", "cdtw_set_language(writer, 9);"),
    M("cdtext-last-seq", "cdtext_writer.cpp", "size information gives the last sequence number one short",
      "text[8] = static_cast<std::uint8_t>(w->seq + 1);", "text[8] = static_cast<std::uint8_t>(w->seq);"),
    M("cdtext-language", "cdtext_writer.cpp", "block 0's language written in block 1's place",
      "text[4] = static_cast<std::uint8_t>(w->language);", "text[5] = static_cast<std::uint8_t>(w->language);"),
    M("cdtext-track-advance", "cdtext_reader.cpp", "a second text ending in a pack is given the pack's track",
      "if (pack_track > track_)\n            track_ = pack_track;", "if (pack_track >= track_)\n            track_ = pack_track;"),
    M("cdtext-songwriter", "cdtext_reader.cpp", "songwriters are not taken into the disc",
      "type != CDTEXT_TITLE && type != CDTEXT_PERFORMER && type != CDTEXT_SONGWRITER",
      "type != CDTEXT_TITLE && type != CDTEXT_PERFORMER"),
    M("cdtext-last-track", "cdtext_reader.cpp", "the size information's last track read from the first track's byte",
      "info.last_track = t[2];", "info.last_track = t[1];"),
    M("cdtext-trailing-nul", "cdtext_pack.cpp", "a trailing NUL after the packs is an incomplete pack",
      "if (got == 0 || (got == 1 && bytes[0] == 0))", "if (got == 0)"),
    # text_encoding
    M("text-overlong", "text_encoding.cpp", "overlong three-byte UTF-8 forms accepted",
      "low = lead == 0xE0 ? 0xA0 : 0x80;", "low = 0x80;"),
    M("text-fold-quote", "text_encoding.cpp", "the right single quote folds to a backtick",
      "{0x2019, \"'\"}", "{0x2019, \"`\"}"),
    M("text-utf16-order", "text_encoding.cpp", "UTF-16 byte order ignored",
      "return little_endian ? second << 8 | first : first << 8 | second;", "return first << 8 | second;"),
    M("text-del", "text_encoding.cpp", "DEL is taken for a printable character",
      "c < 0x20 || (c >= 0x7F && c <= 0x9F)", "c < 0x20 || (c > 0x7F && c <= 0x9F)"),
    # image_layout
    M("layout-gap-at", "image_layout.cpp", "silence put at a point is not counted at that point",
      "gap.file == file && gap.offset <= up_to", "gap.file == file && gap.offset < up_to"),
    M("layout-round", "image_layout.cpp", "a file's points count from the frame after the one it starts in",
      "static_cast<long>(file_start(file) / frame_bytes) + frames",
      "static_cast<long>((file_start(file) + frame_bytes - 1) / frame_bytes) + frames"),
    M("layout-postgap-end", "image_layout.cpp", "a POSTGAP at the end of a file counted in the file's end",
      "(size > 0 ? gap_bytes(file, size - 1) : 0)", "gap_bytes(file, size)"),
    # cueparser
    M("cue-rem-long", "cueparser.cpp", "a long REM line is refused like any other",
      "if (got < 0 && word != nullptr && is(word, \"REM\")) {", "if (false) {"),
    M("cue-check-digit", "cueparser.cpp", "a wrong catalog check digit is not warned about",
      "    if (valid == 1)\n        warning(", "    if (valid == 3)\n        warning("),
    M("cue-index-equal", "cueparser.cpp", "an index at the time of the one before is accepted",
      "position <= last_position_) {", "position < last_position_) {"),
    M("cue-100-tracks", "cueparser.cpp", "a 100th track is accepted",
      "if (track_number_ > 99)", "if (track_number_ > 100)"),
    M("cue-dcp-scms", "cueparser.cpp", "DCP alone or SCMS alone is taken for both",
      "(track_->flags & PQ_FLAG_DCP) && (track_->flags & PQ_FLAG_SCMS)",
      "(track_->flags & PQ_FLAG_DCP) || (track_->flags & PQ_FLAG_SCMS)"),
    M("cue-flags-after-index", "cueparser.cpp", "FLAGS after INDEX 01 taken without a warning",
      "if (last_index_ != -1)\n        warning(\"FLAGS", "if (last_index_ > 1)\n        warning(\"FLAGS"),
    M("cue-upc-a", "cue_dialect.cpp", "a 12-digit UPC-A kept without its leading 0",
      "        catalog.digits.insert(0, \"0\");\n", ""),
    M("cue-same-text", "cue_charset.cpp", "a code page that reads the sheet as Windows-1252 does is still named",
      "    if (*text == windows1252_to_utf8(bytes))", "    if (false)"),
    M("cue-pregap-index0", "image_finish.cpp", "a PREGAP's pause starts after INDEX 01",
      "track->index[0] = track->index[1] - pregap;", "track->index[0] = track->index[1] + pregap;"),
    M("cue-eac-150", "image_finish.cpp", "a track 1 exactly two seconds into its file gets two seconds more",
      "first.index[1] < CD_FIRST_PREGAP_FRAMES;", "first.index[1] <= CD_FIRST_PREGAP_FRAMES;"),
    M("cue-enough-audio", "image_finish.cpp", "an index at the very end of the audio is refused",
      "if (ends < needed) {", "if (ends <= needed) {"),
    M("cue-from-texts", "cueparser.cpp",
      "characters CD-Text cannot hold are an error, and Japanese texts go into MS-JIS, without CD-Text too",
      "report_texts(*cue_->pq, cue_->cdtext_from_texts && !cdtext_name_);", "report_texts(*cue_->pq, !cdtext_name_);"),
    M("cue-track-range", "cue_files.cpp", "a CD text file for fewer tracks than the sheet is taken",
      "if (blocks[0].last_track != tracks)", "if (blocks[0].last_track > tracks)"),
    # audio_input
    M("input-no-swap", "audio_input.cpp", "MOTOROLA samples are not byte-swapped",
      "if (swap_ && buffer_swap16(dst, n) != 0) {", "if (false && buffer_swap16(dst, n) != 0) {"),
    M("input-swap-word", "audio_input.cpp", "the eight-byte swap keeps the high bytes in place",
      "word = ((word & low_bytes) << 8) | ((word >> 8) & low_bytes);",
      "word = ((word & low_bytes) << 8) | (word & ~low_bytes);"),
    M("input-48k", "audio_input.cpp", "48 kHz audio accepted",
      "if (rate != 44100)", "if (rate != 44100 && rate != 48000)"),
    M("input-extensible", "audio_input.cpp", "the subformat of Wave Format Extensible is ignored",
      "w.format_tag == WAVE_FORMAT_EXTENSIBLE && w.subformat != 0 ? w.subformat : w.format_tag",
      "w.format_tag"),
    M("input-truncated", "audio_input.cpp", "a WAVE file a sample short of its data chunk is not refused",
      "held >= 0 && held < static_cast<long>(w.audio_length)", "held >= 0 && held + 2 < static_cast<long>(w.audio_length)"),
    M("input-flac-size", "audio_input.cpp", "FLAC length counted as two bytes a sample frame",
      "size_ = info.total_samples * 4;", "size_ = info.total_samples * 2;"),
    # audio_identify
    M("identify-aiff", "audio_identify.cpp", "the AIFF form type read at the wrong offset",
      "has(b, n, 8, \"AIFF\")", "has(b, n, 4, \"AIFF\")"),
    M("identify-id3", "audio_identify.cpp", "the ID3v2 tag's size leaves its header out",
      "return 10 + body + ((b[5] & 0x10) != 0 ? 10 : 0);", "return body + ((b[5] & 0x10) != 0 ? 10 : 0);"),
    # waveparser
    M("wave-pad", "waveparser.cpp", "the pad byte after an odd-sized chunk is not skipped",
      "std::uint64_t{c->end} + (c->end & 1u);", "std::uint64_t{c->end};"),
    M("wave-sox-size", "waveparser.cpp", "sox's unfilled data size is taken as a size",
      "(c->size == size_unknown || c->size == size_unknown_sox) && left < c->size",
      "c->size == size_unknown && left < c->size"),
    M("wave-ds64", "waveparser.cpp", "RF64's data size taken from the RIFF size field of ds64",
      "w->ds64_data_size = le64(&b[8]);", "w->ds64_data_size = le64(&b[0]);"),
    M("wave-depth", "waveparser.cpp", "one container level more than the bound is walked",
      "if (depth >= WAVE_MAX_DEPTH)", "if (depth > WAVE_MAX_DEPTH)"),
    M("wave-riff-covers", "waveparser.cpp", "a RIFF size that does not cover the data is not warned about",
      "w->riff_end < w->audio_end", "w->riff_end < w->audio_start"),
    # flac_decoder
    M("flac-order", "flac_decoder.cpp", "left samples written high byte first",
      "out[4 * i] = static_cast<unsigned char>(l);\n        out[4 * i + 1] = static_cast<unsigned char>(l >> 8);",
      "out[4 * i] = static_cast<unsigned char>(l >> 8);\n        out[4 * i + 1] = static_cast<unsigned char>(l);"),
    M("flac-md5", "image_copy.cpp", "a FLAC file's MD5 signature is not checked",
      "if (ctx != nullptr && std::memcmp(digest,", "if (false && std::memcmp(digest,"),
    M("flac-cut", "flac_decoder.cpp", "a cut file is reported as damaged",
      "s.failure = cut ? ends_early(s) : damage;", "s.failure = damage;"),
    M("flac-tag", "flac_decoder.cpp", "bytes after the last frame (a tag) are taken for damage",
      "if (s.samples == before && s.lost_sync) {", "if (false) {"),
    # miniddp
    M("ddp-number-align", "ddp_format.cpp", "the numbers of DDP records left-aligned in their fields",
      "number_text(value, f.width, \"%*ld\")", "number_text(value, f.width, \"%-*ld\")"),
    M("ddp-scms", "miniddp.cpp", "the SD copy mark of a track without SCMS is '0'",
      "(flags & PQ_FLAG_SCMS) ? \"S\" : \"1\";", "(flags & PQ_FLAG_SCMS) ? \"S\" : \"0\";"),
    M("ddp-control", "miniddp.cpp", "the four-channel bit is left out of the control nibble",
      "entry.control = flags & 0x0F;", "entry.control = flags & 0x07;"),
    M("ddp-isrc-first", "miniddp.cpp", "the ISRC goes with every entry of its track",
      "first ? t->isrc.data() : \"\"", "t->isrc.data()"),
    M("ddp-lead-out-twice", "miniddp.cpp", "the lead-out described once",
      "    ddp_write_sd_packet(out, lead_out_track, 1, pq.lead_out, \"\", \"\", \"\", 0);\n"
      "    ddp_write_sd_packet(out, lead_out_track, 1, pq.lead_out, \"\", \"\", \"\", 0);",
      "    ddp_write_sd_packet(out, lead_out_track, 1, pq.lead_out, \"\", \"\", \"\", 0);"),
    M("ddp-cdtext-first", "miniddp.cpp", "the CD-Text packet appended after the PQ descriptor",
      "rewrite_map(dir, true, \"S0\", \"CDTEXT  \"", "rewrite_map(dir, false, \"S0\", \"CDTEXT  \""),
    M("ddp-old-sums", "miniddp.cpp", "an older CHECKSUM.MD5 is not removed before the run writes",
      "for (const char *name : {\"CHECKSUM.MD5\", \"CHECKSUM.TXT\", \"DDPID\"}) {",
      "for (const char *name : {\"CHECKSUM.TXT\", \"DDPID\"}) {"),
    M("ddp-stale-input", "miniddp.cpp", "a stale IMAGE.cue is removed although the run reads it",
      "S_ISDIR(st.st_mode) || is_input(path))", "S_ISDIR(st.st_mode))"),
    # fileset_zip, fileset_zip_writer
    M("zip-crc-end", "fileset_zip.cpp", "an entry read to its end is not checked against its CRC-32",
      "if (pos == size)\n            check_end();", "if (pos == size)\n            (void)0;"),
    M("zip-dotdot", "fileset_zip.cpp", "a name with \"..\" is taken",
      "if (name.compare(start, end - start, \"..\") == 0)", "if (false)"),
    M("zip-link", "fileset_zip.cpp", "a symbolic link entry is taken for a file",
      "return S_ISLNK(static_cast<mode_t>(attributes >> 16));", "return false;"),
    M("zip-two-filesets", "fileset_zip.cpp", "an archive with two filesets reads the first",
      "if (folders.size() > 1) {", "if (folders.size() > 2) {"),
    M("zip-encrypted", "fileset_zip.cpp", "an encrypted entry is listed",
      "        if (m.encrypted) {", "        if (false) {"),
    M("zip-stored", "fileset_zip_writer.cpp", "the archive's entries are deflated",
      "ZIP_CM_STORE", "ZIP_CM_DEFLATE"),
    M("zip-mtime", "fileset_zip_writer.cpp", "an entry's time is a minute off its file's",
      "st.st_mtime, 0)", "st.st_mtime + 60, 0)"),
    M("zip-order", "fileset_zip_writer.cpp", "the checksum files go in first",
      "    names.emplace_back(\"CHECKSUM.MD5\");\n    names.emplace_back(\"CHECKSUM.TXT\");\n    return names;",
      "    names.insert(names.begin(), {\"CHECKSUM.MD5\", \"CHECKSUM.TXT\"});\n    return names;"),
    # safe_output
    M("safe-lock", "safe_output.cpp", "the directory lock is not taken",
      "if (flock(fd, operation | LOCK_NB) != 0) {", "if (false) {"),
    M("safe-discard", "safe_output.cpp", "a discarded temporary file is not removed",
      "    fp_.reset();\n    unlink(temp_.c_str());", "    fp_.reset();"),
    M("safe-signal", "safe_output.cpp", "the signal handler leaves the unfinished files",
      "        if (slot.used)\n            unlink(slot.path);", "        if (slot.used)\n            ;"),
    M("safe-may-be", "safe_output.cpp", "an input that may be one output may be any output",
      "if (!input.may_be.empty() && output_same_file(input.may_be.c_str(), output.c_str()))",
      "if (!input.may_be.empty())"),
    M("safe-rename", "safe_output.cpp", "a finished file is not renamed into place",
      "if (std::rename(temp_.c_str(), path_.c_str()) != 0) {", "if (false) {"),
    # ddp_checksum
    M("sums-md5-case", "ddp_checksum.cpp", "MD5 digests written in upper case", "\"%02x\", digest[i]", "\"%02X\", digest[i]"),
    M("sums-crc-width", "ddp_checksum.cpp", "CRC-32 without its leading zeros", "\"%08lX\"", "\"%8lX\""),
    M("sums-both-or-none", "ddp_checksum.cpp", "CHECKSUM.MD5 stays when CHECKSUM.TXT cannot be put in place",
      "            std::remove(md5.path().c_str());\n", ""),
    M("sums-text-mode", "ddp_checksum.cpp", "md5sum's text-mode lines are skipped",
      "rest.starts_with(' ') || rest.starts_with('*')", "rest.starts_with('*')"),
    M("sums-section", "ddp_checksum.cpp", "CRC reading stops at a later section",
      "            if (is_crc_section_header(line))\n                in_crc_section = true;",
      "            in_crc_section = is_crc_section_header(line);"),
    M("sums-ok", "ddp_checksum.cpp", "OK and FAILED swapped in the validator's output",
      "log_msg(1, \"%s\\n\", r.ok ? \"OK\" : \"FAILED\");", "log_msg(1, \"%s\\n\", r.ok ? \"FAILED\" : \"OK\");"),
    M("sums-dot-slash", "ddp_checksum.cpp", "a checksum file's ./NAME is not NAME",
      "while (name.starts_with(\"./\"))", "while (false)"),
    M("sums-every-line", "ddp_checksum.cpp", "two lines of one checksum file that disagree on a file pass",
      "if (!fresh && tolk_stricmp(", "if (false && tolk_stricmp("),
    M("sums-max-size", "ddp_checksum.cpp", "a checksum file of exactly the largest size is passed over",
      "e.size > checksum_file_max_size", "e.size >= checksum_file_max_size"),
    # fileset_reader
    M("reader-overlap", "fileset_reader.cpp", "streams that meet are taken to overlap",
      "else if (segment.start < end)", "else if (segment.start <= end && end > 0)"),
    M("reader-index0-at-1", "fileset_reader.cpp", "an index 00 at the time of index 01 is refused",
      "(position == r.last_position && !pause_at_start)", "(position == r.last_position)"),
    M("reader-scms", "fileset_reader.cpp", "the SCMS mark of the PQ stream is ignored",
      "(e.copy == \"S\" ? PQ_FLAG_SCMS : 0)", "0"),
    M("reader-data-bit", "fileset_reader.cpp", "the data-track bit tested at the four-channel bit",
      "if (nibble & 0x4)", "if (nibble & 0x8)"),
    M("reader-cdtext-nul", "fileset_reader.cpp", "a NUL after the CD-Text packs is kept",
      "        if (packs.back() == '\\0')\n            packs.pop_back();", "        ;"),
    M("reader-give-up", "fileset_reader.cpp", "one faulty packet more before a stream is given up",
      "if (fs.errors() - before < max_stream_errors)", "if (fs.errors() - before <= max_stream_errors)"),
    M("reader-slash", "fileset_reader.cpp", "a map name with a slash is looked up",
      "return c == '/' || c == '\\\\' ||", "return c == '\\\\' ||"),
    M("reader-holds", "fileset_reader.cpp", "a file exactly as long as the map says is short",
      "if (e.size >= end)\n        return true;", "if (e.size > end)\n        return true;"),
    M("reader-lead-out-audio", "fileset_reader.cpp", "a lead-out that the audio does not reach is not noticed",
      "fs.pq->lead_out != fs.audio_sectors)", "fs.pq->lead_out > fs.audio_sectors + 1)"),
    M("reader-case", "fileset_reader.cpp", "names are looked up with their case only",
      "        if (tolk_stricmp(e.name.c_str(), wanted.c_str()) == 0)\n            return &e;", "        ;"),
    M("reader-symlink", "fileset_reader.cpp", "a symbolic link is listed as a regular file",
      "S_ISLNK(st.st_mode) ? fileset_entry_kind::symlink", "S_ISLNK(st.st_mode) ? fileset_entry_kind::regular"),
    # fileset_check
    M("check-covered", "fileset_check.cpp", "files that no checksum covers are not reported",
      "if (std::none_of(c.checksums.results.begin(), c.checksums.results.end(), read))", "if (false)"),
    M("check-warnings", "fileset_check.cpp", "the verdict counts one warning in the plural",
      "(warnings == 1 ? \" warning\" : \" warnings\")", "(warnings == 0 ? \" warning\" : \" warnings\")"),
    M("check-json-dcp", "fileset_check.cpp", "the JSON report's DCP flag shows pre-emphasis",
      "{\"dcp\", (t->flags & PQ_FLAG_DCP) != 0}", "{\"dcp\", (t->flags & PQ_FLAG_PRE) != 0}"),
    # fileset_extract
    M("extract-00", "fileset_extract.cpp", "an empty 00.wav for a disc without hidden audio",
      "if (first > CD_FIRST_PREGAP_FRAMES)", "if (first >= CD_FIRST_PREGAP_FRAMES)"),
    M("extract-flags", "pqlist.cpp", "the extracted cue sheet loses the flags",
      "        u->flags = t->flags;\n", ""),
    M("flac-pre-emphasis", "release_tags.cpp", "the FLAC cue sheet loses the pre-emphasis flag",
      "track.pre_emphasis = (t->flags & PQ_FLAG_PRE) != 0;", "track.pre_emphasis = false;"),
    M("flac-artist", "release_tags.cpp", "a track without its own performer gets no ARTIST tag",
      "text_or(t->performer, pq.performer)", "text_or(t->performer)"),
    M("extract-old-proof", "fileset_extract.cpp", "an earlier proof page stays beside a set extracted without one",
      "(proof != nullptr && name == proof_page_name)", "name == proof_page_name"),
    M("extract-bom", "fileset_extract.cpp", "image.cue without its byte-order mark",
      "return std::fputs(\"\\xEF\\xBB\\xBF\", out) >= 0 &&", "return"),
    M("extract-old-cue", "fileset_extract.cpp", "the earlier image.cue stays while the new audio files come in",
      "    if (unlink(earlier.c_str()) != 0 && errno != ENOENT)\n        return failed(earlier);\n", ""),
    M("extract-shared-lock", "fileset_extract.cpp", "a fileset being written is read",
      "return fileset_is_archive(ddpdir) || in_lock.acquire_shared(ddpdir) != 1;", "return true;"),
    M("extract-input", "fileset_extract.cpp", "an output that is a file of the fileset is not refused",
      "if (output_same_file(input.c_str(), output.c_str())) {\n                if (!quiet)",
      "if (false) {\n                if (!quiet)"),
    M("extract-riff-size", "fileset_extract.cpp", "the RIFF size of the WAVE files counts their whole header",
      "le(static_cast<std::uint32_t>(wave_header_size - 8) + bytes, 4);",
      "le(static_cast<std::uint32_t>(wave_header_size) + bytes, 4);"),
    # pq_sheet
    M("sheet-input", "pq_sheet.cpp", "the PQ sheet is written over an input",
      "if (output_same_place(taboo.path.c_str(), target.path.c_str())) {", "if (false) {"),
    # korvel
    M("main-master-id", "korvel.cpp", "a master identifier of 48 characters is refused",
      "if (std::strlen(id) > master_id_max) {", "if (std::strlen(id) >= master_id_max) {"),
    M("main-incomplete", "korvel.cpp", "checksum files written for an incomplete fileset",
      "if (write_streams(ddpdir, cue, cl.options, parts) != 0) {",
      "if (write_streams(ddpdir, cue, cl.options, parts) != 0 && false) {"),
    M("main-reader-status", "fileset_extract.cpp", "a fileset with one error checks with status 0",
      "checked.fileset.errors() > 0 ? 1 : 0;", "checked.fileset.errors() > 1 ? 1 : 0;"),
    M("main-empty-dir", "korvel.cpp", "an empty output directory name is taken",
      "if ((cl.mode == run_mode::write || cl.mode == run_mode::extract) && cl.second != nullptr && *cl.second == '\\0')",
      "if (false)"),
    M("operands-missing-dir", "korvel.cpp", "a missing output directory is found only when the run writes",
      "if (cl.mode != run_mode::check && cl.mode != run_mode::diff && cl.second != nullptr &&\n        need_directory(cl.second) != 0)",
      "if (false)"),
    # fileset_diff, audio_compare
    M("diff-shift-sign", "audio_compare.cpp", "audio moved earlier is told as moved later",
      "find(1, sound_[1] + 1, sound_[1] + search_frames, -1);", "find(1, sound_[1] + 1, sound_[1] + search_frames, 1);"),
    M("diff-gain-slack", "audio_compare.cpp", "a gain allows samples 300 off instead of 2",
      "double low = (y - 2.0) / x;\n    double high = (y + 2.0) / x;",
      "double low = (y - 300.0) / x;\n    double high = (y + 300.0) / x;"),
    M("diff-reorder", "audio_compare.cpp", "reordered tracks are not noticed",
      "return moved ? from : std::vector<int>{};", "return {};"),
    M("diff-errors-count", "fileset_diff.cpp", "a fileset's errors count as one difference",
      "json{{\"fileset\", s.dir}, {\"errors\", messages}}, errors);", "json{{\"fileset\", s.dir}, {\"errors\", messages}}, 1);"),
    M("diff-status", "fileset_diff.cpp", "filesets that differ give status 0",
      "return d.count() == 0 ? 0 : 1;", "return 0;"),
    M("operands-batch-status", "fileset_batch.cpp", "several filesets check with status 0 when one has an error",
      "return with_errors > 0 ? 1 : 0;", "return with_errors > 1 ? 1 : 0;"),
]


def run(command, cwd, log=None, timeout=None):
    """Runs a command; its output goes to `log` (a file object) or is returned."""
    r = subprocess.run(command, cwd=cwd, stdout=log or subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return r.returncode, (r.stdout.decode(errors="replace") if log is None else "")


def tracked_files(source):
    out = subprocess.run(["git", "ls-files", "-z"], cwd=source, check=True, stdout=subprocess.PIPE).stdout
    return [name for name in out.decode().split("\0") if name]


def sync_tree(source, tree):
    """Copies the tracked files of `source` (as they are in its working tree) into `tree`, writing only
    those that differ, so that a kept tree builds incrementally."""
    for name in tracked_files(source):
        src, dst = os.path.join(source, name), os.path.join(tree, name)
        if not os.path.isfile(src):
            continue  # deleted in the working tree
        with open(src, "rb") as f:
            data = f.read()
        if os.path.isfile(dst):
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)


def staleness(tree, m):
    """Why the mutation cannot be applied to the tree, or None."""
    path = os.path.join(tree, m.file)
    if not os.path.isfile(path):
        return "no such file"
    with open(path, encoding="utf-8") as f:
        count = f.read().count(m.old)
    return None if count == 1 else "snippet found %d times" % count


def failed_tests(tree):
    """The tests that failed in the last CTest run."""
    path = os.path.join(tree, "build", "dev", "Testing", "Temporary", "LastTestsFailed.log")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.strip().split(":", 1)[-1] for line in f if line.strip()]


# Fast tests first: the unit tests, golden cases and fuzz replays take seconds; the scripted
# end-to-end tests and the installation checks take minutes.
SLOW = "^(e2e_|install_check)"


def run_suite(tree, timeout, jobs, full, log):
    """Runs the CTest suite; the names of the failing tests (empty when all passed)."""
    base = ["ctest", "--preset", "dev", "--timeout", str(timeout), "-j", str(jobs)]
    phases = [[]] if full else [["-E", SLOW, "--stop-on-failure"], ["-R", SLOW, "--stop-on-failure"]]
    for phase in phases:
        status, _ = run(base + phase, tree, log)
        if status != 0:
            return failed_tests(tree) or ["(ctest status %d)" % status]
    return []


def options():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", metavar="REGEX", help="run the mutations whose id, file or description matches")
    parser.add_argument("--list", action="store_true", help="list the mutations (stale ones marked) and stop")
    parser.add_argument("--keep", action="store_true", help="keep the scratch tree and say where it is")
    parser.add_argument("--tree", metavar="DIR", help="use (and keep) DIR as the scratch tree; a kept tree builds "
                        "incrementally")
    parser.add_argument("--full", action="store_true", help="run the whole suite for every mutation, naming every "
                        "test that kills it")
    parser.add_argument("--timeout", type=int, default=600, help="seconds per test (default 600)")
    parser.add_argument("--jobs", type=int, default=2, help="tests run at once (default 2)")
    parser.add_argument("--log", metavar="FILE", help="build and test output (default: in the scratch tree)")
    sampled = parser.add_argument_group("generated mutants (tools/mutant_sites.py)")
    sampled.add_argument("--sample", type=int, metavar="N", help="run a sample of N mutants generated from the "
                         "syntax tree instead of the hand-written list")
    sampled.add_argument("--seed", default="1", metavar="S", help="the sample's seed (default 1)")
    sampled.add_argument("--part", metavar="K/M", help="run only the K-th of M interleaved parts of the sample")
    sampled.add_argument("--again", action="store_true", help="run the survivors the results file holds again, "
                         "as well as the mutants it does not hold")
    sampled.add_argument("--results", metavar="FILE", help="append each mutant's outcome to FILE, and skip the "
                         "mutants it already holds: a stopped run goes on, parts add up, the summary counts all")
    return parser.parse_args()


class Scratch:
    """The scratch tree: the tracked files copied, the dev preset built, the unchanged suite passing."""

    def __init__(self, opts):
        self.opts = opts
        self.tree = os.path.abspath(opts.tree) if opts.tree else tempfile.mkdtemp(prefix="korvel-mutants-")
        os.makedirs(self.tree, exist_ok=True)
        self.log_path = opts.log or os.path.join(self.tree, "mutants.log")
        self.log = None

    def __enter__(self):
        sync_tree(ROOT, self.tree)
        self.log = open(self.log_path, "ab")
        return self

    def __exit__(self, *exc):
        if self.log:
            # The tree as it was, so that a kept tree builds from the unchanged source next time.
            run(["cmake", "--build", "--preset", "dev"], self.tree, self.log)
            self.log.close()
        if self.opts.keep or self.opts.tree:
            print("scratch tree kept: %s" % self.tree)
        else:
            shutil.rmtree(self.tree, ignore_errors=True)

    def ready(self):
        """Builds the unchanged tree and runs all of the suite on it; False (said why) when either fails."""
        started = time.monotonic()
        print("scratch tree: %s (log: %s)" % (self.tree, self.log_path), flush=True)
        if run(["cmake", "--preset", "dev"], self.tree, self.log)[0] != 0 or \
                run(["cmake", "--build", "--preset", "dev"], self.tree, self.log)[0] != 0:
            print("the unchanged tree does not build: see the log")
            return False
        # Every mutation must be noticed by the suite, so the unchanged tree must pass all of it.
        failing = run_suite(self.tree, self.opts.timeout, self.opts.jobs, True, self.log)
        if failing:
            print("the unchanged tree fails: %s" % ", ".join(failing))
            return False
        print("unchanged tree: every test passes (%.0f s)" % (time.monotonic() - started), flush=True)
        return True

    def try_mutant(self, file, mutate, label):
        """Puts `mutate(original bytes)` into the file, builds, runs the suite, puts the file back:
        the outcome and what to say about it."""
        path = os.path.join(self.tree, file)
        with open(path, "rb") as f:
            original = f.read()
        try:
            with open(path, "wb") as f:
                f.write(mutate(original))
            self.log.write(("\n==== %s\n" % label).encode())
            self.log.flush()
            if run(["cmake", "--build", "--preset", "dev"], self.tree, self.log)[0] != 0:
                return "build-broken", ""
            failing = run_suite(self.tree, self.opts.timeout, self.opts.jobs, self.opts.full, self.log)
            # Run as root, a mutant that lets a staged file be renamed over a device replaces it (the PQ
            # sheet over /dev/null): every later run would fail for that, so the outcomes would mean nothing.
            for device in ("/dev/null", "/dev/zero", "/dev/full"):
                if os.path.exists(device) and not stat.S_ISCHR(os.stat(device).st_mode):
                    sys.exit("%s replaced %s with a file: put the device back (mknod -m 666 %s c 1 N, see "
                             "`man 4 null`), then run again; no outcome of it was kept" % (label, device, device))
            return ("killed", "by " + ", ".join(failing)) if failing else ("survived", "")
        finally:
            with open(path, "wb") as f:
                f.write(original)


def hand_written(opts):
    """The hand-written list: each mutation in turn."""
    chosen = [m for m in MUTATIONS if not opts.only or re.search(opts.only, m.label())]
    ids = [m.id for m in MUTATIONS]
    assert len(set(ids)) == len(ids), "mutation ids must be unique"
    if opts.list:
        for m in chosen:
            why = staleness(ROOT, m)
            print("%-9s %s" % ("stale" if why else "", m.label()) + (" (%s)" % why if why else ""))
        print("%d mutations" % len(chosen))
        return 0

    started = time.monotonic()
    with Scratch(opts) as scratch:
        if not scratch.ready():
            return 1
        results = {"killed": 0, "survived": 0, "stale": 0, "build-broken": 0}
        for k, m in enumerate(chosen, 1):
            t0 = time.monotonic()
            why = staleness(scratch.tree, m)
            outcome, detail = ("stale", why) if why else scratch.try_mutant(
                m.file, lambda text: text.replace(m.old.encode(), m.new.encode()), m.label())
            results[outcome] += 1
            print("[%d/%d] %-12s %s%s (%.0f s)" % (k, len(chosen), outcome, m.label(),
                                                  " " + detail if detail else "", time.monotonic() - t0), flush=True)
    ran = results["killed"] + results["survived"]
    print("%d killed, %d survived, %d stale, %d build-broken in %.0f minutes" % (
        results["killed"], results["survived"], results["stale"], results["build-broken"],
        (time.monotonic() - started) / 60))
    print("mutation score: %d of %d killed" % (results["killed"], ran))
    return 1 if results["stale"] or results["build-broken"] else 0


def load_results(path):
    """The outcomes a results file holds, by mutant key (the last one of each)."""
    done = {}
    if path and os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    record = json.loads(line)
                    done[record["key"]] = record
    return done


def sampled(opts):
    """A seeded sample of generated mutants; the equivalents listed are neither run nor counted."""
    import mutant_sites as sites
    everything = sites.generate(ROOT)
    chosen = sites.sample(everything, sites.module_lines(ROOT), opts.sample, opts.seed)
    if opts.part:
        chosen = sites.part(chosen, opts.part)
    chosen = [m for m in chosen if not opts.only or re.search(opts.only, m.label())]
    equivalent = sites.load_equivalents()
    done = load_results(opts.results)
    print("%d mutants generated in src/; the sample of %d with seed %s%s: %d" % (
        len(everything), opts.sample, opts.seed, ", part " + opts.part if opts.part else "", len(chosen)))
    if opts.list:
        changes = {m.key() for m in everything}
        for key in equivalent:
            if key not in changes:
                print("stale equivalent (no such mutant any more):\n%s" % key)
        for m in chosen:
            state = "equivalent" if m.key() in equivalent else done.get(m.key(), {}).get("outcome", "")
            print("%-12s %s" % (state, m.label()))
        return 0
    # --again: the survivors once more, after tests were added for them (the last outcome counts).
    todo = [m for m in chosen if m.key() not in equivalent and
            (m.key() not in done or opts.again and done[m.key()]["outcome"] == "survived")]
    todo.sort(key=lambda m: m.key() not in done)  # the survivors first: each tells whether its gap was closed
    if todo:
        with Scratch(opts) as scratch:
            if not scratch.ready():
                return 1
            run_sample(scratch, todo, done, opts.results)
    summarize(chosen, equivalent, done, sites)
    return 0


def run_sample(scratch, todo, done, results_path):
    for k, m in enumerate(todo, 1):
        t0 = time.monotonic()
        with open(os.path.join(scratch.tree, m.file), "rb") as f:
            current = f.read()
        if current[m.start:m.end].decode(errors="replace") != m.old:
            outcome, detail = "stale", "the source changed while the run went on"
        else:
            outcome, detail = scratch.try_mutant(m.file, m.apply, m.label())
        record = dict(key=m.key(), label=m.label(), outcome=outcome, detail=detail,
                      seconds=round(time.monotonic() - t0, 1))
        done[m.key()] = record
        if results_path and outcome != "stale":  # a stale mutant is drawn again from the source as it is then
            with open(results_path, "a", encoding="utf-8") as f:
                f.write(json.dumps(record) + "\n")
        print("[%d/%d] %-12s %s%s (%.0f s)" % (k, len(todo), outcome, m.label(), " " + detail if detail else "",
                                              record["seconds"]), flush=True)


def summarize(chosen, equivalent, done, sites):
    """The score of the sample, from this run and the results file; every survivor as an entry of the
    equivalents list, to be given its reason there or killed by a test."""
    counts = {"killed": 0, "survived": 0, "build-broken": 0, "stale": 0, "equivalent": 0, "not run": 0}
    said = {"build-broken": "did not compile (skipped)"}
    seconds = []
    survivors = []
    for m in chosen:
        record = done.get(m.key())
        outcome = "equivalent" if m.key() in equivalent else record["outcome"] if record else "not run"
        counts[outcome] += 1
        if record and outcome in ("killed", "survived", "build-broken"):
            seconds.append(record["seconds"])
        if outcome == "survived":
            survivors.append(m)
    for m in survivors:
        print("survived: %s\n%s\n" % (m.label(), sites.entry(m)))
    print(", ".join("%d %s" % (n, said.get(what, what)) for what, n in counts.items()) +
          (" (%.0f s a mutant)" % (sum(seconds) / len(seconds)) if seconds else ""))
    ran = counts["killed"] + counts["survived"]
    print("mutation score: %d of %d killed%s" % (counts["killed"], ran,
                                                 " (%.1f%%)" % (100.0 * counts["killed"] / ran) if ran else ""))


def main():
    opts = options()
    return sampled(opts) if opts.sample else hand_written(opts)


if __name__ == "__main__":
    sys.exit(main())
