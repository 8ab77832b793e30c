#include "ddp_checksum.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "log.h"
#include "test_support.h"
#include "tolk_utils.h"

namespace {

namespace fs = std::filesystem;
using names_t = std::vector<std::string>;
using test::TempDir;

// DDPID's level tells a fileset; DDPMS is 128-byte packets, each naming a file in its DSI field at offset 74.
std::string ddpid_record(const std::string &level = "DDP 2.00") { return level + std::string(128 - level.size(), ' '); }
std::string map_packet(const std::string &dsi, const char *mark = "VVVM")
{
    return (mark + std::string(124, ' ')).replace(74, dsi.size(), dsi);
}

// DDPID, a map naming `mapped`, and their files.
void write_fileset(const TempDir &dir, const names_t &mapped = {"SD", "IMAGE.DAT"})
{
    std::string map;
    for (std::size_t i = 0; i < mapped.size(); ++i) {
        map += map_packet(mapped[i]);
        test::write_file(dir.file(mapped[i]), test::generated_bytes(320 + 40000 * i, static_cast<std::uint32_t>(i)));
    }
    test::write_file(dir.file("DDPID"), ddpid_record());
    test::write_file(dir.file("DDPMS"), map);
}

// The list's entries, a "name md5 crc in_ddp" line each.
std::string entries(const ddpf_list_t &list)
{
    std::string text;
    for (const auto &e : list.first)
        text += std::string(e.name) + " " + e.md5 + " " + e.crc32 + " " + std::to_string(e.in_ddp) + "\n";
    return text;
}
const std::string table_heading = "Filename           MD5                               CRC32   \n"
                                  "-----------------  --------------------------------  --------\n";
const std::string md5_written = "MD5 checksums written to \"CHECKSUM.MD5\".\n",
                  written = md5_written + "CRC32 checksums written to \"CHECKSUM.TXT\".\n";
// CHECKSUM.MD5, CHECKSUM.TXT and the table for the files `names` (separated by spaces), by md5sum and python.
struct Expected { std::string md5_file, crc_file, table; };
Expected expected_for(const TempDir &dir, const std::string &names)
{
    const std::string cd = "cd '" + dir.path().string() + "' && ";
    const std::string each = cd + "python3 -c 'import sys, zlib, hashlib\nfor n in sys.argv[2:]: d = open(n, \"rb\")"
                                  ".read(); print(sys.argv[1].format(n, hashlib.md5(d).hexdigest(), zlib.crc32(d)))' ";
    return {test::run_command(cd + "md5sum -b " + names),
            "[CRC32 Checksum]\n" + test::run_command(each + "'{0}={2:08X}' " + names),
            table_heading + test::run_command(each + "'{0:17}  {1:32}  {2:08X}' " + names)};
}

// A call's result, then what it printed (standard error after a heading), with `path` shown as "@".
std::string printed(const std::function<int()> &call, const std::string &path)
{
    int result = -2;
    const auto out = test::capture([&] { result = call(); });
    std::string text = std::to_string(result) + "\n" + out.out + (out.err.empty() ? "" : "stderr:\n" + out.err);
    for (auto at = text.find(path); at != std::string::npos; at = text.find(path, at + 1))
        text.replace(at, path.size(), "@");
    return text;
}
auto validate(const TempDir &d) { return printed([&] { return ddp_checksum_validate(d.path().c_str()); }, d.path()); }
// ddp_checksum_write's result and output, then the checksum files it left.
std::string write_sums(const TempDir &dir)
{
    std::string text = printed([&] { return ddp_checksum_write(dir.path().c_str()); }, dir.path());
    for (const char *name : {"CHECKSUM.MD5", "CHECKSUM.TXT"})
        text += fs::is_regular_file(dir.file(name)) ? test::read_file(dir.file(name)) : "(none)\n";
    return text;
}

// What validation prints for checksum files (file, kind, names listed), in the order the directory lists them.
std::string blocks(const TempDir &dir, const std::vector<std::tuple<std::string, std::string, names_t>> &files,
                   const std::string &failed = "", const std::string &verdict = "FAILED", int failures = 0)
{
    std::string text = std::to_string(failures) + "\n";
    for (const auto &entry : fs::directory_iterator(dir.path()))
        for (const auto &[file, kind, names] : files)
            if (entry.path().filename() == file) {
                text += "\nValidating " + kind + " from file \"" + file + "\"\n";
                for (const auto &name : names)
                    text += name + ": " + (name == failed ? verdict : "OK") + "\n";
            }
    return text;
}

TEST(DdpFileList, NamesMappedFilesInMapOrderAndNothingWhereThereIsNoFileset)
{
    TempDir dir;
    write_fileset(dir);
    test::write_file(dir.file("DDPMS"), map_packet("SD") + map_packet("BOGUS", "XXXX") + map_packet("") +
                                            map_packet("ABCDEFGHIJKLMNOPQ") + map_packet("SD") +
                                            map_packet("IMAGE.DAT").substr(0, 127));
    dfi_iter_t it;
    ASSERT_EQ(dfi_init(&it, dir.path().c_str()), 0);
    std::string names;
    while (const char *name = dfi_next(&it))
        names += std::string(name) + " ";
    EXPECT_EQ(names, "DDPID DDPMS SD ABCDEFGHIJKLMNOPQ SD ");
    EXPECT_TRUE(dfi_next(&it) == nullptr && it.map_stream == nullptr && dfi_next(nullptr) == nullptr);
    // Two packets naming one file give one entry, where the first stood.
    ddpf_list_t list;
    ddpf_read_ddp(&list, dir.path().c_str());
    const std::string listed = entries(list) + *list.dir;
    EXPECT_EQ(listed, "DDPID   1\nDDPMS   1\nSD   1\nABCDEFGHIJKLMNOPQ   1\n" + dir.path().string());
    // A map that never ends would keep the iterator reading forever.
    const std::tuple<const char *, std::string, const char *> spoilt[] = {
        {"DDPID", "", nullptr}, {"DDPID", ddpid_record("DDQ 2.00"), nullptr},
        {"DDPID", ddpid_record().substr(0, 63), nullptr}, {"DDPMS", "", nullptr}, {"DDPMS", "", "/dev/zero"}};
    for (const auto &[file, content, link] : spoilt) {
        SCOPED_TRACE(testing::Message() << file << " of " << content.size() << " bytes " << (link ? link : ""));
        TempDir none;
        write_fileset(none);
        fs::remove(none.file(file));
        if (link != nullptr || !content.empty())
            link ? fs::create_symlink(link, none.file(file)) : test::write_file(none.file(file), content);
        const auto out = test::capture([&] { ddpf_read_ddp(&list, none.path().c_str()); });
        EXPECT_EQ(out.out + out.err + entries(list) + *list.dir, listed);
        EXPECT_EQ(write_sums(none), "1\n" + table_heading + "ddpf_print: list is empty\nstderr:\n"
                                    "Error: @: not a DDP fileset, cannot write checksum files\n(none)\n(none)\n");
    }
    // Names are cut to 17 characters and compared with their case; an empty checksum keeps the stored one.
    ddpf_entry_t *entry = ddpf_add(&list, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abc", "1A2B");
    EXPECT_EQ(ddpf_add(&list, "ABCDEFGHIJKLMNOPQRS", "", "cbf43926"), entry);
    EXPECT_EQ(ddpf_find(&list, "sd"), nullptr);
    EXPECT_EQ(entries(list),
              "DDPID   1\nDDPMS   1\nSD   1\nABCDEFGHIJKLMNOPQ 00000000000000000000000000000abc cbf43926 1\n");
    ddpf_free(&list);
    EXPECT_TRUE(list.first.empty() && !list.dir);
}

TEST(DdpfListDeathTest, ChecksumTextsTooLongForTheirFieldStopTheProgram)
{
    ddpf_entry_t entry;
    EXPECT_DEATH(ddpf_entry_update(&entry, "0123456789abcdef0123456789abcdef0", nullptr), "len < 33");
    EXPECT_DEATH(ddpf_entry_update(&entry, nullptr, "123456789"), "len < 9");
}

TEST(ChecksumWrite, WritesGoldenFilesInMapOrderThatMd5sumAndTheValidatorAccept)
{
    TempDir dir;
    const names_t names = {"DDPID", "DDPMS", "CDTEXT.BIN", "SD", "IMAGE.DAT"};
    write_fileset(dir, {"CDTEXT.BIN", "SD", "IMAGE.DAT"});
    // An empty file, and a text whose CRC-32 begins with a zero digit; the cue sheet is in no list.
    test::write_file(dir.file("SD"), "");
    test::write_file(dir.file("CDTEXT.BIN"), "track 51");
    test::write_file(dir.file("IMAGE.cue"), "FILE \"IMAGE.DAT\" BINARY\n");
    const Expected e = expected_for(dir, "DDPID DDPMS CDTEXT.BIN SD IMAGE.DAT");
    EXPECT_EQ(write_sums(dir), "0\n" + written + e.table + e.md5_file + e.crc_file);
    const std::string cd = "cd '" + dir.path().string() + "' && ";
    EXPECT_EQ(test::run_command(cd + "md5sum -c CHECKSUM.MD5"),
              "DDPID: OK\nDDPMS: OK\nCDTEXT.BIN: OK\nSD: OK\nIMAGE.DAT: OK\n");
    // A second run overwrites both files and lists neither; silence keeps the table.
    log_set_verbose(0);
    EXPECT_EQ(write_sums(dir), "0\n" + e.table + e.md5_file + e.crc_file);
    log_set_verbose(1);
    test::run_command(cd + "md5sum DDPID SD IMAGE.DAT > text.md5 && md5sum -b DDPMS SD | tr a-f A-F > binary.md5");
    for (const std::string failed : {"", "IMAGE.DAT"}) {
        EXPECT_EQ(validate(dir), blocks(dir, {{"CHECKSUM.TXT", "CRCs", names}, {"CHECKSUM.MD5", "MD5s", names},
                                              {"text.md5", "MD5s", {"DDPID", "SD", "IMAGE.DAT"}},
                                              {"binary.md5", "MD5s", {"DDPMS", "SD"}}},
                                         failed, "FAILED", failed.empty() ? 0 : 3));
        test::run_command(cd + "printf x | dd of=IMAGE.DAT bs=1 seek=5000 conv=notrunc status=none");
    }
    // A file read for one checksum file is not read again for the next: with the files gone, the cache answers.
    ddpf_list_t crcs, cache;
    ddpf_set_dir(&crcs, dir.path().c_str());
    ddpf_read_crc32(&crcs, dir.file("CHECKSUM.TXT").c_str());
    const auto first = test::capture([&] { ddpf_check(&crcs, &cache); });
    for (const auto &name : names)
        fs::remove(dir.file(name));
    const auto second = test::capture([&] { ddpf_check(&crcs, &cache); });
    EXPECT_EQ(first.out, "DDPID: OK\nDDPMS: OK\nCDTEXT.BIN: OK\nSD: OK\nIMAGE.DAT: FAILED\n");
    EXPECT_EQ(second.out + second.err, first.out);
}

TEST(ChecksumWrite, FilesThatCannotBeReadOrWrittenAreReportedAndFailTheRun)
{
    // A stream that fails with an I/O error after `limit` bytes gets no checksum: within the
    // first read block, at a block's end and several blocks in.
    struct failing { std::size_t limit, done; };
    const auto failing_read = [](void *cookie, char *buf, std::size_t size) -> ssize_t {
        auto *f = static_cast<failing *>(cookie);
        const std::size_t n = std::min(size, f->limit - f->done);
        std::fill_n(buf, n, 'x');
        f->done += n;
        errno = EIO;
        return n == 0 ? -1 : static_cast<ssize_t>(n);
    };
    file_ptr fp;
    char md5[33] = "untouched", crc[9] = "intact";
    for (std::size_t limit : {20000u, 262144u, 600001u}) {
        failing source{limit, 0};
        fp.reset(fopencookie(&source, "r", cookie_io_functions_t{failing_read, nullptr, nullptr, nullptr}));
        errno = 0;
        EXPECT_EQ(file_calc_checksum(fp.get(), md5, crc), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_EQ(source.done, limit);
        EXPECT_EQ(md5 + std::string(" ") + crc, "untouched intact");
    }
    // Files across several read blocks: one byte short of two, exactly two, and a short last one.
    TempDir blocks;
    for (std::size_t size : {2 * 262144 - 1, 2 * 262144, 1000003}) {
        test::write_file(blocks.file("f"), test::generated_bytes(size, static_cast<std::uint32_t>(size)));
        fp = tolk_fopen(blocks.file("f").c_str(), "rb");
        ASSERT_EQ(file_calc_checksum(fp.get(), md5, crc), 0);
        const Expected e = expected_for(blocks, "f");
        EXPECT_EQ(std::string(md5) + " *f\n", e.md5_file) << size;
        EXPECT_EQ("[CRC32 Checksum]\nf=" + std::string(crc) + "\n", e.crc_file) << size;
    }
    char check_input[] = "123456789"; // either checksum may be left out; CRC-32's check value is CBF43926
    fp.reset(fmemopen(check_input, 9, "r"));
    EXPECT_EQ(file_calc_checksum(fp.get(), nullptr, crc), 0);
    EXPECT_STREQ(crc, "CBF43926");
    // A missing image, and a file that opens and then fails on reading, as a failing disc would.
    TempDir dir;
    write_fileset(dir);
    fs::remove(dir.file("IMAGE.DAT"));
    fs::remove(dir.file("SD"));
    fs::create_symlink("/proc/self/mem", dir.file("SD"));
    Expected e = expected_for(dir, "DDPID DDPMS");
    const auto no_sums = [](const std::string &name) { return name + std::string(61 - name.size(), ' ') + "\n"; };
    // Checksum files without them would vouch for an incomplete fileset: none is written.
    EXPECT_EQ(write_sums(dir), "1\n" + e.table + no_sums("SD") + no_sums("IMAGE.DAT") +
                                   "stderr:\n@/SD: Input/output error\n@/IMAGE.DAT: No such file or directory\n"
                                   "Error: no checksum files written: not every file of the fileset could be read\n"
                                   "(none)\n(none)\n");
    // A checksum file that cannot take its name is reported, and the other one is not put in place either.
    TempDir full;
    write_fileset(full);
    e = expected_for(full, "DDPID DDPMS SD IMAGE.DAT");
    fs::create_directory(full.file("CHECKSUM.TXT"));
    EXPECT_EQ(write_sums(full), "1\n" + e.table + "stderr:\n@/CHECKSUM.TXT: Is a directory\n(none)\n(none)\n");
}

// Reads `path` at verbosity 4: the result, what the reader printed, and the entries it added.
std::string read_with(int (*reader)(ddpf_list_t *, const char *), const std::string &path)
{
    ddpf_list_t list;
    log_set_verbose(4);
    const std::string text = printed([&] { return reader(&list, path.c_str()); }, path);
    log_set_verbose(1);
    return text + "entries:\n" + entries(list);
}

TEST(ChecksumReaders, ReportEveryLineTheyRejectAndNeverLoopOnAReadError)
{
    TempDir dir;
    const std::string crc = dir.file("crc.txt"), md5 = dir.file("sums.md5"), single = dir.file("MD5");
    test::write_file(crc, "; written by hand\nSD=11111111\n[CRC32 Checksum]\nVersion=1.0\n\t SD \t= 1a2b3c4d \t\n"
                          "NO EQUAL SIGN\n =12345678\nABCDEFGHIJKLMNOPQR=12345678\nABCDEFGHIJKLMNOPQ=ABCDEF01\n"
                          "EMPTY=\nNINE=123456789\nHEX=1234567g\nLIMIT" + std::string(86, ' ') + "=ABCDEF02\n" +
                          std::string(101, 'L') + "\n[unclosed\n[Other]\nIMAGE.DAT=a0b0c0d\n"); // LIMIT: 100 characters
    EXPECT_EQ(read_with(ddpf_read_crc32, crc),
              "0\ntrying to read CRC checksums from file \"@\"\n@:5: file=\"SD\", CRC32=1a2b3c4d\n"
              "@:6: malformed line, no euqal sign found\n@:7: no file name found before equal sign\n"
              "@:8: skipping file with name longer than 17 characters\n"
              "@:9: file=\"ABCDEFGHIJKLMNOPQ\", CRC32=ABCDEF01\n@:10: no CRC32 found after equal sign\n"
              "@:11: no CRC32 found after equal sign\n@:12: non-hex digit found after equal sign\n"
              "@:13: file=\"LIMIT\", CRC32=ABCDEF02\n@:14: line too long\n@:17: file=\"IMAGE.DAT\", CRC32=a0b0c0d\n"
              "entries:\nSD  1a2b3c4d 0\nABCDEFGHIJKLMNOPQ  ABCDEF01 0\nLIMIT  ABCDEF02 0\nIMAGE.DAT  0a0b0c0d 0\n");
    // Digests of fewer than 32 digits are stored padded with zeros.
    const std::string h31 = "123456789abcdef0123456789ABCDEF", h32 = h31 + "0", zeros(30, '0');
    test::write_file(md5, "# written by hand\n; another comment\n" + h31 + " *SD\n0a - IMAGE.DAT\n0a -IMAGE.DAT\n"
                          "0b  TEXT MODE\n 0c *LEADING\nNOSPACE\n" + h32 + "0 *X\nxyz *X\n0d *\n"
                          "0e *ABCDEFGHIJKLMNOPQR\n0f *ABCDEFGHIJKLMNOPQ\n10 *CONTROL\x01\n11 *AFTER\n");
    EXPECT_EQ(read_with(ddpf_read_md5, md5),
              "0\ntrying to read MD5 checksums from file \"@\"\n@:3: File=\"SD\", MD5=" + h31 +
                  "\n@:4: File=\"IMAGE.DAT\", MD5=0a\n@:5: skipping malformed line\n@:6: File=\"TEXT MODE\", MD5=0b\n"
                  "@:8: no space in line\n@:9: first token too long: " + h32 + "0\n"
                  "@:10: first token not a hex dumber: xyz\n@:12: file name too long \"ABCDEFGHIJKLMNOPQR\"\n"
                  "@:13: File=\"ABCDEFGHIJKLMNOPQ\", MD5=0f\n@:14: not a text file\nentries:\nSD 0" + h31 +
                  "  0\nIMAGE.DAT " + zeros + "0a  0\nTEXT MODE " + zeros + "0b  0\nABCDEFGHIJKLMNOPQ " + zeros +
                  "0f  0\n");
    // The single-checksum file is one MD5 without a line end.
    const std::string no_md5 = ": content is not an MD5 checksum";
    const std::tuple<std::string, int, std::string> cases[] = {
        {h32, 0, ": found MD5 checksum: " + h32}, {h32 + "\n", 1, ": more than one line, not a WaevEditor MD5 file"},
        {"not an md5", 1, no_md5}, {"", 1, no_md5}, {h32 + "0", 1, no_md5}, {std::string(100, 'a'), 1, no_md5},
        {std::string(101, 'a'), 1, ":1: line too long"}, {"abc\x02", 1, ": not a text file"}};
    for (const auto &[content, result, message] : cases) {
        test::write_file(single, content);
        EXPECT_EQ(read_with(ddpf_read_md5_wave_editor, single),
                  std::to_string(result) + "\nTrying to read WaveEditor MD5 checksum from file \"@\"\n@" + message +
                      "\nentries:\n" + (result == 0 ? "image.dat " + h32 + "  0\n" : ""));
    }
    EXPECT_EQ(read_with(ddpf_read_crc32, dir.file("gone")),
              "-1\ncan't open file \"@\", message: No such file or directory\nentries:\n");
    for (const auto &[reader, opening] : {std::pair{&ddpf_read_crc32, "trying to read CRC checksums"},
                                          {&ddpf_read_md5, "trying to read MD5 checksums"},
                                          {&ddpf_read_md5_wave_editor, "Trying to read WaveEditor MD5 checksum"}})
        EXPECT_EQ(read_with(reader, "/proc/self/mem"),
                  "1\n" + std::string(opening) + " from file \"@\"\n@:1: read error: Input/output error\nentries:\n");
}

TEST(Validate, ReadsOnlySmallRegularFilesInsideTheFilesetAndTheMd5FileOnlyInAnotherToolsFileset)
{
    // Another tool's fileset maps "PQ_DESCR" and "image.dat" and keeps the image's MD5 alone in "MD5".
    TempDir theirs;
    write_fileset(theirs, {"PQ_DESCR", "image.dat"});
    const std::string md5 = expected_for(theirs, "image.dat").md5_file.substr(0, 32);
    test::write_file(theirs.file("MD5"), md5);
    EXPECT_EQ(validate(theirs), "0\n\nValidating MD5 file \"MD5\"\nimage.dat: OK\n");
    test::write_file(theirs.file("MD5"), md5 + "\n");
    EXPECT_EQ(validate(theirs), "0\n");
    // /dev/zero never ends, a FIFO without a writer never answers, /proc/self/mem fails on reading: neither as
    // checksum files nor as listed files may they hang the check. "../../../dev/zero" has 17 characters, the most a
    // name keeps. A checksum file has at most 6,600 bytes.
    TempDir dir;
    write_fileset(dir, {"SD", "image.dat"}); // no "PQ_DESCR": "MD5" is no checksum file here
    const std::string crc_file = expected_for(dir, "SD").crc_file;
    fs::create_symlink("/dev/zero", dir.file("ZERO"));
    ASSERT_EQ(mkfifo(dir.file("PIPE").c_str(), 0600), 0);
    fs::create_symlink("/proc/self/mem", dir.file("FAILING"));
    test::write_file(dir.file("sums.txt"), "[CRC32 Checksum]\nGONE.DAT=1\n../../../dev/zero=1\nZERO=1\nPIPE=1\n"
                                           "FAILING=1\n" + crc_file.substr(17));
    test::write_file(dir.file("limit.txt"), crc_file + std::string(6600 - crc_file.size(), '\n'));
    test::write_file(dir.file("over.txt"), crc_file + std::string(6601 - crc_file.size(), '\n'));
    test::write_file(dir.file("MD5"), expected_for(dir, "image.dat").md5_file.substr(0, 32));
    EXPECT_EQ(validate(dir), blocks(dir, {{"sums.txt", "CRCs", {"FAILING", "SD"}}, {"limit.txt", "CRCs", {"SD"}}},
                                    "FAILING", "", 5) +
                                 "stderr:\nError: can't open file \"@/GONE.DAT\": No such file or directory\n"
                                 "Error: can't open file \"@/../../../dev/zero\": not a file of the fileset directory\n"
                                 "Error: can't open file \"@/ZERO\": not a regular file\n"
                                 "Error: can't open file \"@/PIPE\": not a regular file\n"
                                 "Error: can't read file \"@/FAILING\": Input/output error\n");
}

} // namespace
