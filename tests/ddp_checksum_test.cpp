#include "ddp_checksum.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

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

// The list's entries, a "name md5 crc named-by-the-map" line each.
std::string entries(const ddp_files &list)
{
    std::string text;
    for (const auto &e : list)
        text += e.name + " " + e.md5 + " " + e.crc32 + " " + (e.role != ddp_role::listed ? "1" : "0") + "\n";
    return text;
}
const std::string table_heading = "Filename           MD5                               CRC32   \n"
                                  "-----------------  --------------------------------  --------\n";
const std::string written = "MD5 checksums written to \"CHECKSUM.MD5\".\nCRC32 checksums written to \"CHECKSUM.TXT\".\n";
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
    std::set<std::string> listing; // the validator takes the checksum files in the order of their names
    for (const auto &entry : fs::directory_iterator(dir.path()))
        listing.insert(entry.path().filename());
    for (const auto &entry : listing)
        for (const auto &[file, kind, names] : files)
            if (entry == file) {
                text += "\nValidating " + kind + " from file \"" + file + "\"\n";
                for (const auto &name : names)
                    text += name + ": " + (name == failed ? verdict : "OK") + "\n";
            }
    return text;
}

TEST(DdpFileList, NamesMappedFilesInMapOrderOnce)
{
    // Packets without the mark or a name, and a packet cut short, name no file; a name keeps 17 characters.
    TempDir dir;
    write_fileset(dir);
    test::write_file(dir.file("DDPMS"), map_packet("SD") + map_packet("BOGUS", "XXXX") + map_packet("") +
                                            map_packet("ABCDEFGHIJKLMNOPQ") + map_packet("SD") +
                                            map_packet("IMAGE.DAT").substr(0, 127));
    ddp_files list;
    ddpf_read_ddp(&list, dir.path().c_str());
    EXPECT_EQ(entries(list) + *list.dir, "DDPID   1\nDDPMS   1\nSD   1\nABCDEFGHIJKLMNOPQ   1\n" + dir.path().string());
}

TEST(ChecksumWrite, FilesInMapOrderThatMd5sumPythonAndTheValidatorAccept)
{
    // The demo's test and the golden cases check the files of a whole fileset; here an empty file, and a text whose
    // CRC-32 begins with a zero digit, against md5sum and python's zlib. The cue sheet is in no list.
    TempDir dir;
    const names_t names = {"DDPID", "DDPMS", "CDTEXT.BIN", "SD", "IMAGE.DAT"};
    write_fileset(dir, {"CDTEXT.BIN", "SD", "IMAGE.DAT"});
    test::write_file(dir.file("SD"), "");
    test::write_file(dir.file("CDTEXT.BIN"), "track 51");
    test::write_file(dir.file("IMAGE.cue"), "FILE \"IMAGE.DAT\" BINARY\n");
    const Expected e = expected_for(dir, "DDPID DDPMS CDTEXT.BIN SD IMAGE.DAT");
    EXPECT_EQ(write_sums(dir), "0\n" + written + e.table + e.md5_file + e.crc_file);
    // md5sum's text mode, and digests in upper case, are validated as well.
    const std::string cd = "cd '" + dir.path().string() + "' && ";
    test::run_command(cd + "md5sum DDPID SD IMAGE.DAT > text.md5 && md5sum -b DDPMS SD | tr a-f A-F > binary.md5");
    for (const std::string failed : {"", "IMAGE.DAT"}) {
        EXPECT_EQ(validate(dir), blocks(dir, {{"CHECKSUM.TXT", "CRCs", names}, {"CHECKSUM.MD5", "MD5s", names},
                                              {"text.md5", "MD5s", {"DDPID", "SD", "IMAGE.DAT"}},
                                              {"binary.md5", "MD5s", {"DDPMS", "SD"}}},
                                         failed, "FAILED", failed.empty() ? 0 : 3));
        test::run_command(cd + "printf x | dd of=IMAGE.DAT bs=1 seek=5000 conv=notrunc status=none");
    }
}

TEST(ChecksumWrite, FilesThatCannotBeReadOrWrittenAreReportedAndFailTheRun)
{
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

// Reads `path`: the result and the entries the reader added.
std::string read_with(int (*reader)(ddp_files *, const char *), const std::string &path)
{
    ddp_files list;
    const int result = reader(&list, path.c_str());
    return std::to_string(result) + "\n" + entries(list);
}

// What a reader says at -v 4 about `path`: its first line, then each numbered line's verdict.
std::string debug_lines(const std::string &path, const char *kind, const std::vector<std::pair<int, std::string>> &lines)
{
    std::string said = std::string("trying to read ") + kind + " checksums from file \"" + path + "\"\n";
    for (const auto &[number, verdict] : lines)
        said += path + ":" + std::to_string(number) + ": " + verdict + "\n";
    return said;
}

TEST(ChecksumReaders, TakeTheLinesOfEachFormAndNeverLoopOnAReadError)
{
    TempDir dir;
    const std::string crc = dir.file("crc.txt"), md5 = dir.file("sums.md5"), single = dir.file("MD5");
    // Only the CRC32 section counts, from its header on: names of up to 17 characters, up to 8 hex digits,
    // lines of up to 100 characters.
    test::write_file(crc, "; written by hand\nSD=11111111\n[CRC32 Checksum]\nVersion=1.0\n\t SD \t= 1a2b3c4d \t\n"
                          "NO EQUAL SIGN\n =12345678\nABCDEFGHIJKLMNOPQR=12345678\nABCDEFGHIJKLMNOPQ=ABCDEF01\n"
                          "EMPTY=\nNINE=123456789\nHEX=1234567g\nLIMIT" + std::string(86, ' ') + "=ABCDEF02\n" +
                          std::string(101, 'L') + "\n[unclosed\n[Other]\nIMAGE.DAT=a0b0c0d\n");
    // At -v 4 every line of the section says what was taken from it, or why nothing was.
    log_set_verbose(4);
    const test::Output said = test::capture([&] {
        EXPECT_EQ(read_with(ddpf_read_crc32, crc),
                  "0\nSD  1a2b3c4d 0\nABCDEFGHIJKLMNOPQ  ABCDEF01 0\nLIMIT  ABCDEF02 0\nIMAGE.DAT  0a0b0c0d 0\n");
    });
    log_set_verbose(1);
    EXPECT_EQ(said.out, debug_lines(crc, "CRC", {{5, "file=\"SD\", CRC32=1a2b3c4d"},
                                                  {6, "malformed line, no euqal sign found"},
                                                  {7, "no file name found before equal sign"},
                                                  {8, "skipping file with name longer than 17 characters"},
                                                  {9, "file=\"ABCDEFGHIJKLMNOPQ\", CRC32=ABCDEF01"},
                                                  {10, "no CRC32 found after equal sign"},
                                                  {11, "no CRC32 found after equal sign"},
                                                  {12, "non-hex digit found after equal sign"},
                                                  {13, "file=\"LIMIT\", CRC32=ABCDEF02"},
                                                  {14, "line too long"},
                                                  {17, "file=\"IMAGE.DAT\", CRC32=a0b0c0d"}}));
    // md5sum's binary, text and "- " lines; digests of fewer than 32 digits are stored padded with zeros.
    const std::string h31 = "123456789abcdef0123456789ABCDEF", h32 = h31 + "0", zeros(30, '0');
    test::write_file(md5, "# written by hand\n; another comment\n" + h31 + " *SD\n0a - IMAGE.DAT\n0a -IMAGE.DAT\n"
                          "0b  TEXT MODE\n 0c *LEADING\nNOSPACE\n" + h32 + "0 *X\nxyz *X\n0d *\n"
                          "0e *ABCDEFGHIJKLMNOPQR\n0f *ABCDEFGHIJKLMNOPQ\n10 *CONTROL\x01\n11 *AFTER\n");
    log_set_verbose(4);
    const test::Output said_md5 = test::capture([&] {
        EXPECT_EQ(read_with(ddpf_read_md5, md5), "0\nSD 0" + h31 + "  0\nIMAGE.DAT " + zeros + "0a  0\nTEXT MODE " +
                                                     zeros + "0b  0\nABCDEFGHIJKLMNOPQ " + zeros + "0f  0\n");
    });
    log_set_verbose(1);
    EXPECT_EQ(said_md5.out, debug_lines(md5, "MD5", {{3, "File=\"SD\", MD5=" + h31},
                                                      {4, "File=\"IMAGE.DAT\", MD5=0a"},
                                                      {5, "skipping malformed line"},
                                                      {6, "File=\"TEXT MODE\", MD5=0b"},
                                                      {8, "no space in line"},
                                                      {9, "first token too long: " + h32 + "0"},
                                                      {10, "first token not a hex dumber: xyz"},
                                                      {12, "file name too long \"ABCDEFGHIJKLMNOPQR\""},
                                                      {13, "File=\"ABCDEFGHIJKLMNOPQ\", MD5=0f"},
                                                      {14, "not a text file"}}));
    // The single-checksum file is one MD5 without a line end.
    for (const auto &[content, result] : std::initializer_list<std::pair<std::string, int>>{
             {h32, 0}, {h32 + "\n", 1}, {"not an md5", 1}, {"", 1}, {h32 + "0", 1}, {std::string(101, 'a'), 1},
             {"abc\x02", 1}}) {
        test::write_file(single, content);
        log_set_verbose(4);
        const test::Output said_single = test::capture([&] {
            EXPECT_EQ(read_with(ddpf_read_md5_wave_editor, single),
                      std::to_string(result) + "\n" + (result == 0 ? "image.dat " + h32 + "  0\n" : ""));
        });
        log_set_verbose(1);
        // At -v 4 the digest it took is named.
        EXPECT_EQ(said_single.out.find(single + ": found MD5 checksum: " + h32 + "\n") != std::string::npos, result == 0);
    }
    EXPECT_EQ(read_with(ddpf_read_crc32, dir.file("gone")), "-1\n");
    for (auto reader : {&ddpf_read_crc32, &ddpf_read_md5, &ddpf_read_md5_wave_editor})
        EXPECT_EQ(read_with(reader, "/proc/self/mem"), "1\n");
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
    // /dev/zero never ends, a FIFO without a writer never answers, a link may lead anywhere: neither as checksum
    // files nor as listed files may they hang the check or reach outside the fileset. "../../../dev/zero" has 17
    // characters, the most a name keeps. "./SD" is SD, as for md5sum -c; every line counts, so a second one that
    // disagrees fails even after one that passed. A checksum file's name with a terminal escape is printed harmless,
    // its letters as they are, even one past U+FFFF (four bytes of UTF-8). A checksum file has at most 6,600 bytes.
    TempDir dir;
    write_fileset(dir, {"SD", "image.dat"}); // no "PQ_DESCR": "MD5" is no checksum file here
    const std::string crc_file = expected_for(dir, "SD").crc_file;
    fs::create_symlink("/dev/zero", dir.file("ZERO"));
    ASSERT_EQ(mkfifo(dir.file("PIPE").c_str(), 0600), 0);
    fs::create_symlink("SD", dir.file("LINK"));
    test::write_file(dir.file("sums\x1b[2J\U0001D11E.txt"), "[CRC32 Checksum]\nGONE.DAT=1\n../../../dev/zero=1\nZERO=1\nPIPE=1\nLINK=" +
                                               crc_file.substr(20) + "./" + crc_file.substr(17) + "SD=1\n");
    test::write_file(dir.file("limit.txt"), crc_file + std::string(6600 - crc_file.size(), '\n'));
    test::write_file(dir.file("over.txt"), crc_file + std::string(6601 - crc_file.size(), '\n'));
    test::write_file(dir.file("MD5"), expected_for(dir, "image.dat").md5_file.substr(0, 32));
    const std::string link = "a symbolic link: korvel reads only files inside the fileset directory\n";
    const std::string cant = "Error: can't open file \"@/";
    EXPECT_EQ(validate(dir), "7\n\nValidating CRCs from file \"limit.txt\"\nSD: OK\n\nValidating CRCs from file "
                             "\"sums\\x1b[2J\U0001D11E.txt\"\nSD: OK\nSD: FAILED\nstderr:\n" + cant + "GONE.DAT\": No such file or "
                             "directory\n" + cant + "../../../dev/zero\": not a file of the fileset directory\n" + cant +
                             "ZERO\": " + link + cant + "PIPE\": not a regular file\n" + cant + "LINK\": " + link);
}

} // namespace
