#include "ddp_checksum.h"

#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "crc.h"
#include "log.h"
#include "test_support.h"
#include "tolk_utils.h"

namespace {

namespace fs = std::filesystem;

// ---- Building filesets by hand ----

void put(std::string &record, std::size_t offset, const std::string &text) { record.replace(offset, text.size(), text); }

// A DDPID record of 128 bytes: the level, no UPC/EAN, no master identifier, medium "CD".
std::string ddpid_record(const std::string &level = "DDP 2.00")
{
    std::string r(128, ' ');
    put(r, 0, level);
    put(r, 87, "CD");
    return r;
}

// One 128-byte map packet with the DDPMS field layout: mark, DST at 4, DSL
// right-justified at 14, SUB at 30, the DSI length " 17" at 71, DSI at 74.
std::string map_packet(const std::string &dsi, const std::string &dst = "D0", long dsl = 0, const std::string &sub = "",
                       const std::string &mark = "VVVM")
{
    std::string p(128, ' ');
    put(p, 0, mark);
    put(p, 4, dst);
    const std::string length = std::to_string(dsl);
    put(p, 22 - length.size(), length);
    put(p, 30, sub);
    put(p, 71, " 17");
    put(p, 74, dsi.substr(0, 17));
    return p;
}

std::string generated_bytes(std::size_t n, std::uint32_t seed)
{
    std::string s(n, '\0');
    for (auto &c : s) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return s;
}

// A fileset as korvel writes it: DDPID, DDPMS, SD and IMAGE.DAT, optionally CDTEXT.BIN.
void write_fileset(const test::TempDir &dir, bool with_cdtext = false)
{
    const std::string sd = generated_bytes(320, 1);
    const std::string image = generated_bytes(2352 * 40 + 2352 * 3 / 2, 2);
    std::string map;
    if (with_cdtext)
        map += map_packet("CDTEXT.BIN", "S0", 720, "CDTEXT");
    map += map_packet("SD", "S0", 320, "PQ DESCR");
    map += map_packet("IMAGE.DAT", "D0", 41, "");
    test::write_file(dir.file("DDPID"), ddpid_record());
    test::write_file(dir.file("DDPMS"), map);
    test::write_file(dir.file("SD"), sd);
    test::write_file(dir.file("IMAGE.DAT"), image);
    if (with_cdtext)
        test::write_file(dir.file("CDTEXT.BIN"), generated_bytes(720, 3));
}

std::vector<std::string> iterated_names(const std::string &dir)
{
    dfi_iter_t it;
    std::vector<std::string> names;
    if (dfi_init(&it, dir.c_str()) != 0)
        return names;
    while (const char *name = dfi_next(&it))
        names.emplace_back(name);
    return names;
}

std::vector<std::string> list_names(const ddpf_list_t &list)
{
    std::vector<std::string> names;
    for (const auto &e : list.first)
        names.emplace_back(e.name);
    return names;
}

std::vector<std::string> directory_order(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (const dirent *de = readdir(d))
        names.emplace_back(de->d_name);
    closedir(d);
    return names;
}

// ---- Independent checks ----

std::string run_command(const std::string &command)
{
    std::FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return {};
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << command;
    return out;
}

// The MD5 (from md5sum) and the CRC-32 (from python's zlib) of each file, in order.
std::vector<std::pair<std::string, std::string>> independent_sums(const std::vector<std::string> &paths)
{
    std::string quoted;
    for (const auto &path : paths)
        quoted += " '" + path + "'";
    std::istringstream md5s(run_command("md5sum" + quoted));
    std::istringstream crcs(run_command("python3 -c 'import sys, zlib\n"
                                        "for p in sys.argv[1:]: print(\"%08X\" % zlib.crc32(open(p, \"rb\").read()))'" +
                                        quoted));
    std::vector<std::pair<std::string, std::string>> sums;
    std::string md5_line;
    std::string crc;
    while (std::getline(md5s, md5_line) && crcs >> crc)
        sums.emplace_back(md5_line.substr(0, 32), crc);
    EXPECT_EQ(sums.size(), paths.size());
    sums.resize(paths.size());
    return sums;
}

std::string md5sum_of(const std::string &path) { return independent_sums({path})[0].first; }
std::string zlib_crc_of(const std::string &path) { return independent_sums({path})[0].second; }

std::string padded(const std::string &text, std::size_t width) { return text + std::string(width - text.size(), ' '); }

std::string table_line(const std::string &name, const std::string &md5, const std::string &crc)
{
    return padded(name, 17) + "  " + padded(md5, 32) + "  " + padded(crc, 8) + "\n";
}

std::string table_heading()
{
    return table_line("Filename", "MD5", "CRC32") + table_line(std::string(17, '-'), std::string(32, '-'), std::string(8, '-'));
}

// Restores the default verbosity when a test that changed it ends.
struct Verbosity {
    explicit Verbosity(int level) { log_set_verbose(level); }
    ~Verbosity() { log_set_verbose(1); }
};

// ---- The file list of a fileset ----

TEST(DdpFileIterator, ListsIdentifierMapThenEveryMappedFileInMapOrder)
{
    test::TempDir dir;
    write_fileset(dir);
    test::write_file(dir.file("IMAGE.cue"), "FILE \"IMAGE.DAT\" BINARY\n");
    test::write_file(dir.file("CHECKSUM.MD5"), "");
    EXPECT_EQ(iterated_names(dir.path()), (std::vector<std::string>{"DDPID", "DDPMS", "SD", "IMAGE.DAT"}));

    test::TempDir with_text;
    write_fileset(with_text, true);
    EXPECT_EQ(iterated_names(with_text.path()),
              (std::vector<std::string>{"DDPID", "DDPMS", "CDTEXT.BIN", "SD", "IMAGE.DAT"}));

    // An iterator at its end stays there.
    dfi_iter_t it;
    ASSERT_EQ(dfi_init(&it, dir.path().c_str()), 0);
    while (dfi_next(&it) != nullptr) {
    }
    EXPECT_EQ(dfi_next(&it), nullptr);
    EXPECT_EQ(it.map_stream, nullptr);
    EXPECT_EQ(dfi_next(nullptr), nullptr);
}

TEST(DdpFileIterator, SkipsUnmarkedAndNamelessPacketsAndAPartialLastPacket)
{
    test::TempDir dir;
    test::write_file(dir.file("DDPID"), ddpid_record());
    test::write_file(dir.file("DDPMS"), map_packet("SD", "S0", 320, "PQ DESCR") +
                                            map_packet("BOGUS", "S0", 1, "", "XXXX") + map_packet("") +
                                            map_packet("ABCDEFGHIJKLMNOPQRS") + map_packet("SD") +
                                            map_packet("IMAGE.DAT").substr(0, 127));
    EXPECT_EQ(iterated_names(dir.path()), (std::vector<std::string>{"DDPID", "DDPMS", "SD", "ABCDEFGHIJKLMNOPQ", "SD"}));

    // Two packets naming one file give one entry, where the first stood.
    ddpf_list_t list;
    ddpf_read_ddp(&list, dir.path().c_str());
    EXPECT_EQ(list_names(list), (std::vector<std::string>{"DDPID", "DDPMS", "SD", "ABCDEFGHIJKLMNOPQ"}));
    for (const auto &e : list.first)
        EXPECT_EQ(e.in_ddp, 1) << e.name;
    ASSERT_TRUE(list.dir.has_value());
    EXPECT_EQ(*list.dir, dir.path().string());
}

TEST(DdpFileIterator, DirectoriesThatAreNoFilesetGiveNoListAndNoMessage)
{
    const auto unreadable = [](const test::TempDir &dir) {
        ddpf_list_t list;
        ddpf_add(&list, "EARLIER", "abc", nullptr);
        ddpf_set_dir(&list, "elsewhere");
        const auto out = test::capture([&] { ddpf_read_ddp(&list, dir.path().c_str()); });
        EXPECT_EQ(out.out, "");
        EXPECT_EQ(out.err, "");
        // The list is left as it was.
        return list_names(list) == std::vector<std::string>{"EARLIER"} && list.dir == "elsewhere";
    };

    test::TempDir empty;
    EXPECT_TRUE(unreadable(empty));

    test::TempDir ddq;
    write_fileset(ddq);
    test::write_file(ddq.file("DDPID"), ddpid_record("DDQ 2.00"));
    EXPECT_TRUE(unreadable(ddq));

    test::TempDir short_id;
    write_fileset(short_id);
    test::write_file(short_id.file("DDPID"), ddpid_record().substr(0, 63));
    EXPECT_TRUE(unreadable(short_id));

    test::TempDir no_map;
    write_fileset(no_map);
    fs::remove(no_map.file("DDPMS"));
    EXPECT_TRUE(unreadable(no_map));

    // A map that never ends would keep the iterator reading forever.
    test::TempDir endless_map;
    write_fileset(endless_map);
    fs::remove(endless_map.file("DDPMS"));
    fs::create_symlink("/dev/zero", endless_map.file("DDPMS"));
    EXPECT_TRUE(unreadable(endless_map));
}

TEST(DdpfList, EntriesKeepOrderCaseAndPadTheirChecksums)
{
    ddpf_list_t list;
    ddpf_entry_t *image = ddpf_add(&list, "IMAGE.DAT", "abc", "1A2B");
    EXPECT_STREQ(image->md5, "00000000000000000000000000000abc");
    EXPECT_STREQ(image->crc32, "00001A2B");
    EXPECT_EQ(image->in_ddp, 0);
    EXPECT_EQ(ddpf_find(&list, "image.dat"), nullptr);

    ddpf_add(&list, "SD", nullptr, nullptr);
    EXPECT_EQ(ddpf_add(&list, "IMAGE.DAT", "", nullptr), image);
    EXPECT_STREQ(image->md5, "00000000000000000000000000000abc");
    EXPECT_EQ(ddpf_add(&list, "IMAGE.DAT", "D41D8CD98F00B204E9800998ECF8427E", "cbf43926"), image);
    EXPECT_STREQ(image->md5, "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_STREQ(image->crc32, "cbf43926");

    // Names are cut to 17 characters, and the cut name is the entry's name.
    ddpf_entry_t *longer = ddpf_add(&list, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", nullptr, nullptr);
    EXPECT_STREQ(longer->name, "ABCDEFGHIJKLMNOPQ");
    EXPECT_EQ(ddpf_add(&list, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", nullptr, nullptr), longer);
    EXPECT_EQ(list_names(list), (std::vector<std::string>{"IMAGE.DAT", "SD", "ABCDEFGHIJKLMNOPQ"}));

    ddpf_free(&list);
    EXPECT_TRUE(list.first.empty());
    EXPECT_FALSE(list.dir.has_value());
}

TEST(DdpfListDeathTest, ChecksumTextsTooLongForTheirFieldStopTheProgram)
{
    ddpf_entry_t entry;
    EXPECT_DEATH(ddpf_entry_update(&entry, "0123456789abcdef0123456789abcdef0", nullptr), "len < 33");
    EXPECT_DEATH(ddpf_entry_update(&entry, nullptr, "123456789"), "len < 9");
}

// ---- Checksums of one file ----

TEST(FileChecksum, EmptyFileAndCrcWithLeadingZeros)
{
    test::TempDir dir;
    test::write_file(dir.file("empty"), "");
    file_ptr fp = tolk_fopen(dir.file("empty").c_str(), "rb");
    char md5[33];
    char crc[9];
    ASSERT_EQ(file_calc_checksum(fp.get(), md5, crc), 0);
    EXPECT_STREQ(md5, "d41d8cd98f00b204e9800998ecf8427e"); // RFC 1321's empty message
    EXPECT_STREQ(crc, "00000000");

    // Find a short text whose CRC begins with a zero digit; the digits of both
    // checksums must match zlib and md5sum, case included.
    std::string text;
    for (int i = 0;; ++i) {
        text = "track " + std::to_string(i);
        if (crc32(text.data(), static_cast<long>(text.size())) < 0x10000000u)
            break;
    }
    test::write_file(dir.file("text"), text);
    fp = tolk_fopen(dir.file("text").c_str(), "rb");
    ASSERT_EQ(file_calc_checksum(fp.get(), md5, crc), 0);
    EXPECT_EQ(crc[0], '0');
    EXPECT_EQ(crc, zlib_crc_of(dir.file("text")));
    EXPECT_EQ(md5, md5sum_of(dir.file("text")));

    // Either output may be left out.
    fp = tolk_fopen(dir.file("text").c_str(), "rb");
    char crc_only[9];
    ASSERT_EQ(file_calc_checksum(fp.get(), nullptr, crc_only), 0);
    EXPECT_STREQ(crc_only, crc);
}

// A stream that delivers `good` bytes and then fails with an I/O error.
struct FailingSource {
    std::size_t good;
    std::size_t done = 0;
};

ssize_t failing_read(void *cookie, char *buf, std::size_t size)
{
    auto *src = static_cast<FailingSource *>(cookie);
    if (src->done >= src->good) {
        errno = EIO;
        return -1;
    }
    const std::size_t n = std::min(size, src->good - src->done);
    std::memset(buf, 'x', n);
    src->done += n;
    return static_cast<ssize_t>(n);
}

TEST(FileChecksum, AReadErrorMidFileGivesNoChecksum)
{
    // Within the first block, at a block's end and several blocks in.
    for (std::size_t good : {20000u, 262144u, 600001u}) {
        FailingSource source{good};
        cookie_io_functions_t io{failing_read, nullptr, nullptr, nullptr};
        file_ptr fp(fopencookie(&source, "r", io));
        ASSERT_TRUE(fp);
        char md5[33] = "untouched";
        char crc[9] = "intact";
        errno = 0;
        EXPECT_EQ(file_calc_checksum(fp.get(), md5, crc), -1) << good;
        EXPECT_EQ(errno, EIO) << good;
        EXPECT_EQ(source.done, good);
        EXPECT_STREQ(md5, "untouched");
        EXPECT_STREQ(crc, "intact");
    }
}

TEST(FileChecksum, FilesOfManyBlocksAgreeWithMd5sumAndZlib)
{
    // Sizes around the read blocks: one byte short of two, exactly two, and
    // several with a short last block.
    test::TempDir dir;
    for (std::size_t size : {2 * 262144 - 1, 2 * 262144, 1000003}) {
        std::string data(size, '\0');
        std::uint32_t seed = static_cast<std::uint32_t>(size);
        for (auto &c : data) {
            seed = seed * 1664525u + 1013904223u;
            c = static_cast<char>(seed >> 24);
        }
        test::write_file(dir.file("data"), data);
        file_ptr fp = tolk_fopen(dir.file("data").c_str(), "rb");
        char md5[33];
        char crc[9];
        ASSERT_EQ(file_calc_checksum(fp.get(), md5, crc), 0) << size;
        EXPECT_EQ(md5, md5sum_of(dir.file("data"))) << size;
        EXPECT_EQ(crc, zlib_crc_of(dir.file("data"))) << size;
    }
}

// ---- CHECKSUM.MD5, CHECKSUM.TXT and the table ----

struct ExpectedSums {
    std::string md5_file;
    std::string crc_file = "[CRC32 Checksum]\n";
    std::string table = table_heading();
};

// What the checksum files and table must hold for `names`, from md5sum and zlib.
ExpectedSums expected_sums(const test::TempDir &dir, const std::vector<std::string> &names)
{
    std::vector<std::string> paths;
    for (const auto &name : names)
        paths.push_back(dir.file(name));
    const auto independent = independent_sums(paths);
    ExpectedSums sums;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string &name = names[i];
        const auto &[md5, crc] = independent[i];
        sums.md5_file += md5 + " *" + name + "\n";
        sums.crc_file += name + "=" + crc + "\n";
        sums.table += table_line(name, md5, crc);
    }
    return sums;
}

const std::string written_messages = "MD5 checksums written to \"CHECKSUM.MD5\".\n"
                                     "CRC32 checksums written to \"CHECKSUM.TXT\".\n";

TEST(ChecksumWrite, WritesBothFilesAndTheTableForEveryMappedFile)
{
    test::TempDir dir;
    write_fileset(dir);
    test::write_file(dir.file("IMAGE.cue"), "FILE \"IMAGE.DAT\" BINARY\n");
    const ExpectedSums sums = expected_sums(dir, {"DDPID", "DDPMS", "SD", "IMAGE.DAT"});

    int result = -1;
    const auto out = test::capture([&] { result = ddp_checksum_write(dir.path().c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(out.out, written_messages + sums.table);
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.MD5")), sums.md5_file);
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.TXT")), sums.crc_file);

    // md5sum itself accepts the file.
    EXPECT_EQ(run_command("cd '" + dir.path().string() + "' && md5sum -c CHECKSUM.MD5"),
              "DDPID: OK\nDDPMS: OK\nSD: OK\nIMAGE.DAT: OK\n");

    // A second run over the first one's checksum files gives the same bytes.
    const auto again = test::capture([&] { result = ddp_checksum_write(dir.path().c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(again.out, out.out);
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.MD5")), sums.md5_file);
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.TXT")), sums.crc_file);
}

TEST(ChecksumWrite, CdTextStandsBeforeThePqDescriptorAndSilenceKeepsTheTable)
{
    test::TempDir dir;
    write_fileset(dir, true);
    const ExpectedSums sums = expected_sums(dir, {"DDPID", "DDPMS", "CDTEXT.BIN", "SD", "IMAGE.DAT"});
    Verbosity quiet(0);
    int result = -1;
    const auto out = test::capture([&] { result = ddp_checksum_write(dir.path().c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.out, sums.table);
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.MD5")), sums.md5_file);
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.TXT")), sums.crc_file);
}

TEST(ChecksumWrite, AMissingImageIsReportedLeftOutAndFailsTheRun)
{
    test::TempDir dir;
    write_fileset(dir);
    fs::remove(dir.file("IMAGE.DAT"));
    ExpectedSums sums = expected_sums(dir, {"DDPID", "DDPMS", "SD"});
    int result = -1;
    const auto out = test::capture([&] { result = ddp_checksum_write(dir.path().c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out.err, dir.file("IMAGE.DAT") + ": No such file or directory\n");
    EXPECT_EQ(out.out, written_messages + sums.table + table_line("IMAGE.DAT", "", ""));
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.MD5")), sums.md5_file);
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.TXT")), sums.crc_file);
}

TEST(ChecksumWrite, AnImageThatFailsToReadGetsNoChecksum)
{
    // Reading /proc/self/mem from its start fails with an I/O error after a
    // successful open, as a failing disc would.
    test::TempDir dir;
    write_fileset(dir);
    fs::remove(dir.file("IMAGE.DAT"));
    fs::create_symlink("/proc/self/mem", dir.file("IMAGE.DAT"));
    ExpectedSums sums = expected_sums(dir, {"DDPID", "DDPMS", "SD"});
    int result = -1;
    const auto out = test::capture([&] { result = ddp_checksum_write(dir.path().c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out.err, dir.file("IMAGE.DAT") + ": Input/output error\n");
    EXPECT_EQ(out.out, written_messages + sums.table + table_line("IMAGE.DAT", "", ""));
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.MD5")), sums.md5_file);
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.TXT")), sums.crc_file);
}

TEST(ChecksumWrite, ChecksumFilesThatCannotBeWrittenAreReported)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full to fill";
    test::TempDir dir;
    write_fileset(dir);
    const ExpectedSums sums = expected_sums(dir, {"DDPID", "DDPMS", "SD", "IMAGE.DAT"});
    fs::create_directory(dir.file("CHECKSUM.MD5"));
    fs::create_symlink("/dev/full", dir.file("CHECKSUM.TXT"));
    int result = -1;
    const auto out = test::capture([&] { result = ddp_checksum_write(dir.path().c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out.err, dir.file("CHECKSUM.MD5") + ": Is a directory\n" + dir.file("CHECKSUM.TXT") +
                           ": No space left on device\n");
    EXPECT_EQ(out.out, sums.table);
    // A checksum file cut short is removed: it would still vouch for what it lists.
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file("CHECKSUM.TXT"))));

    // One file that fails is enough to fail the run; the other is still written.
    fs::remove(dir.file("CHECKSUM.MD5"));
    fs::create_symlink("/dev/full", dir.file("CHECKSUM.TXT"));
    const auto half = test::capture([&] { result = ddp_checksum_write(dir.path().c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(half.out, "MD5 checksums written to \"CHECKSUM.MD5\".\n" + sums.table);
    EXPECT_EQ(test::read_file(dir.file("CHECKSUM.MD5")), sums.md5_file);
}

TEST(ChecksumWrite, ADirectoryThatIsNoFilesetGetsNoChecksumFiles)
{
    test::TempDir dir;
    test::write_file(dir.file("IMAGE.DAT"), generated_bytes(100, 4));
    const bool stray_before = fs::exists("CHECKSUM.MD5") || fs::exists("CHECKSUM.TXT");
    int result = -1;
    const auto out = test::capture([&] { result = ddp_checksum_write(dir.path().c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out.err, "Error: " + dir.path().string() + ": not a DDP fileset, cannot write checksum files\n");
    EXPECT_EQ(out.out, table_heading() + "ddpf_print: list is empty\n");
    EXPECT_EQ(directory_order(dir.path()).size(), 3u); // ".", ".." and IMAGE.DAT
    if (!stray_before) {
        EXPECT_FALSE(fs::exists("CHECKSUM.MD5") || fs::exists("CHECKSUM.TXT"));
    }
}

// ---- Reading checksum files ----

std::string text_lines(const std::vector<std::string> &lines)
{
    std::string text;
    for (const auto &line : lines)
        text += line + "\n";
    return text;
}

TEST(CrcReader, TakesTheCrcSectionAndReportsEveryLineItRejects)
{
    test::TempDir dir;
    const std::string path = dir.file("crc.txt");
    test::write_file(path, text_lines({
                               "; written by hand",
                               "SD=11111111",
                               "[CRC32 Checksum]",
                               "Version=1.0",
                               "\t SD \t= 1a2b3c4d \t",
                               "NO EQUAL SIGN",
                               " =12345678",
                               "ABCDEFGHIJKLMNOPQR=12345678",
                               "ABCDEFGHIJKLMNOPQ=ABCDEF01",
                               "EMPTY=",
                               "NINE=123456789",
                               "HEX=1234567g",
                               "LIMIT" + std::string(86, ' ') + "=ABCDEF02", // 100 characters
                               std::string(101, 'L'),
                               "[unclosed",
                               "[Other]",
                               "IMAGE.DAT=0a0b0c0d",
                           }));
    ddpf_list_t list;
    Verbosity debug(4);
    int result = -1;
    const auto out = test::capture([&] { result = ddpf_read_crc32(&list, path.c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(out.out, "trying to read CRC checksums from file \"" + path + "\"\n" +
                           path + ":5: file=\"SD\", CRC32=1a2b3c4d\n" +
                           path + ":6: malformed line, no euqal sign found\n" +
                           path + ":7: no file name found before equal sign\n" +
                           path + ":8: skipping file with name longer than 17 characters\n" +
                           path + ":9: file=\"ABCDEFGHIJKLMNOPQ\", CRC32=ABCDEF01\n" +
                           path + ":10: no CRC32 found after equal sign\n" +
                           path + ":11: no CRC32 found after equal sign\n" +
                           path + ":12: non-hex digit found after equal sign\n" +
                           path + ":13: file=\"LIMIT\", CRC32=ABCDEF02\n" +
                           path + ":14: line too long\n" +
                           path + ":17: file=\"IMAGE.DAT\", CRC32=0a0b0c0d\n");
    EXPECT_EQ(list_names(list), (std::vector<std::string>{"SD", "ABCDEFGHIJKLMNOPQ", "LIMIT", "IMAGE.DAT"}));
    EXPECT_STREQ(list.first.front().crc32, "1a2b3c4d");
    EXPECT_STREQ(list.first.front().md5, "");

    // Without a CRC32 section nothing is taken; a control character ends the file.
    test::write_file(path, "[Checksums]\nSD=1a2b3c4d\n");
    ddpf_list_t none;
    const auto outside = test::capture([&] { result = ddpf_read_crc32(&none, path.c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(outside.out, "trying to read CRC checksums from file \"" + path + "\"\n");
    EXPECT_TRUE(none.first.empty());
    test::write_file(path, "[CRC32]\nSD=1a2b3c4d\nDDPID=\x01\nDDPMS=12345678\n");
    ddpf_list_t binary;
    const auto stopped = test::capture([&] { result = ddpf_read_crc32(&binary, path.c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(stopped.out, "trying to read CRC checksums from file \"" + path + "\"\n" + path +
                               ":2: file=\"SD\", CRC32=1a2b3c4d\n" + path + ":3: not a text file\n");
    EXPECT_EQ(list_names(binary), (std::vector<std::string>{"SD"}));

    const auto missing = test::capture([&] { result = ddpf_read_crc32(&none, dir.file("gone").c_str()); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(missing.out, "can't open file \"" + dir.file("gone") + "\", message: No such file or directory\n");
}

TEST(Md5Reader, TakesBothMd5sumFormsAndReportsEveryLineItRejects)
{
    test::TempDir dir;
    const std::string path = dir.file("sums.md5");
    const std::string h32 = "0123456789abcdef0123456789ABCDEF";
    const std::string h31 = h32.substr(1);
    const std::vector<std::string> lines = {
        "# written by hand",
        "; another comment",
        h31 + " *SD",
        h32 + " - IMAGE.DAT",
        h32 + " -IMAGE.DAT",
        h32 + "  TEXT MODE",
        " " + h32 + " *LEADING",
        "NOSPACE",
        h32 + "0 *X",
        "xyz *X",
        h32 + " *",
        h32 + " *ABCDEFGHIJKLMNOPQR",
        h32 + " *ABCDEFGHIJKLMNOPQ",
    };
    test::write_file(path, text_lines(lines));
    ddpf_list_t list;
    Verbosity debug(4);
    int result = -1;
    const auto out = test::capture([&] { result = ddpf_read_md5(&list, path.c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.out, "trying to read MD5 checksums from file \"" + path + "\"\n" +
                           path + ":3: File=\"SD\", MD5=" + h31 + "\n" +
                           path + ":4: File=\"IMAGE.DAT\", MD5=" + h32 + "\n" +
                           path + ":5: skipping malformed line\n" +
                           path + ":6: File=\"TEXT MODE\", MD5=" + h32 + "\n" +
                           path + ":8: no space in line\n" +
                           path + ":9: first token too long: " + h32 + "0\n" +
                           path + ":10: first token not a hex dumber: xyz\n" +
                           path + ":12: file name too long \"ABCDEFGHIJKLMNOPQR\"\n" +
                           path + ":13: File=\"ABCDEFGHIJKLMNOPQ\", MD5=" + h32 + "\n");
    EXPECT_EQ(list_names(list), (std::vector<std::string>{"SD", "IMAGE.DAT", "TEXT MODE", "ABCDEFGHIJKLMNOPQ"}));
    EXPECT_EQ(std::string(list.first.front().md5), "0" + h31);
    EXPECT_STREQ(list.first.front().crc32, "");

    test::write_file(path, "nothing here\n");
    ddpf_list_t none;
    const auto empty = test::capture([&] { result = ddpf_read_md5(&none, path.c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(empty.out, "trying to read MD5 checksums from file \"" + path + "\"\n" + path +
                             ":1: first token not a hex dumber: nothing\n");
}

TEST(WaveEditorReader, TakesOneChecksumWithoutALineEnd)
{
    test::TempDir dir;
    const std::string path = dir.file("MD5");
    const std::string h32 = "0123456789abcdef0123456789abcdef";
    Verbosity debug(4);
    const std::string trying = "Trying to read WaveEditor MD5 checksum from file \"" + path + "\"\n";
    const auto read = [&](const std::string &content, int expected_result) {
        test::write_file(path, content);
        ddpf_list_t list;
        int result = -2;
        const auto out = test::capture([&] { result = ddpf_read_md5_wave_editor(&list, path.c_str()); });
        EXPECT_EQ(result, expected_result) << content;
        EXPECT_EQ(list.first.size(), expected_result == 0 ? 1u : 0u);
        if (expected_result == 0) {
            EXPECT_STREQ(list.first.front().name, "image.dat");
            EXPECT_STREQ(list.first.front().md5, h32.c_str());
        }
        return out.out;
    };
    EXPECT_EQ(read(h32, 0), trying + path + ": found MD5 checksum: " + h32 + "\n");
    EXPECT_EQ(read(h32 + "\n", 1), trying + path + ": more than one line, not a WaevEditor MD5 file\n");
    EXPECT_EQ(read("not an md5", 1), trying + path + ": content is not an MD5 checksum\n");
    EXPECT_EQ(read("", 1), trying + path + ": content is not an MD5 checksum\n");
    EXPECT_EQ(read(h32 + "0", 1), trying + path + ": content is not an MD5 checksum\n");
    EXPECT_EQ(read(std::string(100, 'a'), 1), trying + path + ": content is not an MD5 checksum\n");
    EXPECT_EQ(read(std::string(101, 'a'), 1), trying + path + ":1: line too long\n");
    EXPECT_EQ(read("abc\x02", 1), trying + path + ": not a text file\n");
}

TEST(ChecksumReaders, AFileThatFailsToReadEndsReadingAndNeverLoops)
{
    Verbosity debug(4);
    ddpf_list_t list;
    int result = -1;
    const auto crc = test::capture([&] { result = ddpf_read_crc32(&list, "/proc/self/mem"); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(crc.out, "trying to read CRC checksums from file \"/proc/self/mem\"\n"
                       "/proc/self/mem:1: read error: Input/output error\n");
    const auto md5 = test::capture([&] { result = ddpf_read_md5(&list, "/proc/self/mem"); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(md5.out, "trying to read MD5 checksums from file \"/proc/self/mem\"\n"
                       "/proc/self/mem:1: read error: Input/output error\n");
    const auto single = test::capture([&] { result = ddpf_read_md5_wave_editor(&list, "/proc/self/mem"); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(single.out, "Trying to read WaveEditor MD5 checksum from file \"/proc/self/mem\"\n"
                          "/proc/self/mem:1: read error: Input/output error\n");
    EXPECT_TRUE(list.first.empty());
}

// ---- Validation ----

// The validation text for one checksum file whose every file matched.
std::string block(const std::string &heading, const std::string &file, const std::vector<std::string> &names,
                  const std::string &failed = "")
{
    std::string s = "\nValidating " + heading + " \"" + file + "\"\n";
    for (const auto &name : names)
        s += name + ": " + (name == failed ? "FAILED" : "OK") + "\n";
    return s;
}

// The blocks in the order the directory lists the files.
std::string in_directory_order(const test::TempDir &dir, const std::vector<std::pair<std::string, std::string>> &blocks)
{
    std::string s;
    for (const auto &name : directory_order(dir.path()))
        for (const auto &[file, text] : blocks)
            if (name == file)
                s += text;
    return s;
}

const std::vector<std::string> fileset_names = {"DDPID", "DDPMS", "SD", "IMAGE.DAT"};

TEST(Validate, OurOwnFilesetValidatesOneBlockPerChecksumFile)
{
    test::TempDir dir;
    write_fileset(dir);
    test::write_file(dir.file("IMAGE.cue"), "FILE \"IMAGE.DAT\" BINARY\n");
    test::capture([&] { ddp_checksum_write(dir.path().c_str()); });
    int result = -1;
    const auto out = test::capture([&] { result = ddp_checksum_validate(dir.path().c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(out.out, in_directory_order(dir, {{"CHECKSUM.TXT", block("CRCs from file", "CHECKSUM.TXT", fileset_names)},
                                                {"CHECKSUM.MD5", block("MD5s from file", "CHECKSUM.MD5", fileset_names)}}));

    // One changed byte of the image fails it in both checksum files.
    std::string image = test::read_file(dir.file("IMAGE.DAT"));
    image[5000] = static_cast<char>(image[5000] ^ 0x01);
    test::write_file(dir.file("IMAGE.DAT"), image);
    const auto changed = test::capture([&] { ddp_checksum_validate(dir.path().c_str()); });
    EXPECT_EQ(changed.out, in_directory_order(
                               dir, {{"CHECKSUM.TXT", block("CRCs from file", "CHECKSUM.TXT", fileset_names, "IMAGE.DAT")},
                                     {"CHECKSUM.MD5", block("MD5s from file", "CHECKSUM.MD5", fileset_names, "IMAGE.DAT")}}));
}

TEST(Validate, LaterChecksumFilesUseTheCacheAndReadNothing)
{
    test::TempDir dir;
    write_fileset(dir);
    test::capture([&] { ddp_checksum_write(dir.path().c_str()); });
    ddpf_list_t crcs;
    ddpf_list_t md5s;
    ddpf_set_dir(&crcs, dir.path().c_str());
    ddpf_set_dir(&md5s, dir.path().c_str());
    ASSERT_EQ(ddpf_read_crc32(&crcs, dir.file("CHECKSUM.TXT").c_str()), 0);
    ASSERT_EQ(ddpf_read_md5(&md5s, dir.file("CHECKSUM.MD5").c_str()), 0);

    ddpf_list_t cache;
    const auto first = test::capture([&] { ddpf_check(&crcs, &cache); });
    EXPECT_EQ(first.out, "DDPID: OK\nDDPMS: OK\nSD: OK\nIMAGE.DAT: OK\n");
    EXPECT_EQ(list_names(cache), fileset_names);
    // With the files gone, only the cache can answer.
    for (const auto &name : fileset_names)
        fs::remove(dir.file(name));
    const auto second = test::capture([&] { ddpf_check(&md5s, &cache); });
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(second.out, first.out);
}

TEST(Validate, AFileNamedButMissingIsAnErrorWithoutVerdict)
{
    test::TempDir dir;
    write_fileset(dir);
    const std::string sd_crc = zlib_crc_of(dir.file("SD"));
    test::write_file(dir.file("extra.txt"), "[CRC32 Checksum]\nGONE.DAT=12345678\nSD=" + sd_crc + "\n");
    const auto out = test::capture([&] { ddp_checksum_validate(dir.path().c_str()); });
    EXPECT_EQ(out.out, "\nValidating CRCs from file \"extra.txt\"\nSD: OK\n");
    EXPECT_EQ(out.err, "Error: can't open file \"" + dir.file("GONE.DAT") + "\": No such file or directory\n");
}

TEST(Validate, FilesWrittenByMd5sumInTextAndBinaryMode)
{
    test::TempDir dir;
    write_fileset(dir);
    const std::string cd = "cd '" + dir.path().string() + "' && ";
    run_command(cd + "md5sum DDPID SD IMAGE.DAT > text.md5 && md5sum -b DDPMS SD > binary.md5");
    ASSERT_EQ(test::read_file(dir.file("text.md5")).substr(32, 2), "  ");
    ASSERT_EQ(test::read_file(dir.file("binary.md5")).substr(32, 2), " *");
    const auto out = test::capture([&] { ddp_checksum_validate(dir.path().c_str()); });
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(out.out, in_directory_order(dir, {{"text.md5", block("MD5s from file", "text.md5", {"DDPID", "SD", "IMAGE.DAT"})},
                                                {"binary.md5", block("MD5s from file", "binary.md5", {"DDPMS", "SD"})}}));
}

TEST(Validate, SingleChecksumModeTakesTheMd5FileWithoutALineEnd)
{
    // Another tool's fileset: its map names "PQ_DESCR" and "image.dat".
    test::TempDir dir;
    test::write_file(dir.file("DDPID"), ddpid_record());
    test::write_file(dir.file("DDPMS"), map_packet("PQ_DESCR", "S0", 320, "PQ DESCR") + map_packet("image.dat"));
    test::write_file(dir.file("PQ_DESCR"), generated_bytes(320, 5));
    test::write_file(dir.file("image.dat"), generated_bytes(2352 * 10, 6));
    const std::string md5 = md5sum_of(dir.file("image.dat"));

    test::write_file(dir.file("MD5"), md5);
    const auto taken = test::capture([&] { ddp_checksum_validate(dir.path().c_str()); });
    EXPECT_EQ(taken.out, "\nValidating MD5 file \"MD5\"\nimage.dat: OK\n");

    // With a line end it is no single-checksum file, and no other reader takes it.
    test::write_file(dir.file("MD5"), md5 + "\n");
    Verbosity debug(4);
    const auto refused = test::capture([&] { ddp_checksum_validate(dir.path().c_str()); });
    const std::string path = dir.file("MD5");
    EXPECT_EQ(refused.out, "Trying to read WaveEditor MD5 checksum from file \"" + path + "\"\n" + path +
                               ": more than one line, not a WaevEditor MD5 file\n"
                               "trying to read CRC checksums from file \"" +
                               path + "\"\ntrying to read MD5 checksums from file \"" + path + "\"\n" + path +
                               ":1: no space in line\n");

    // In a fileset of this tool the name "MD5" means nothing special.
    test::TempDir ours;
    write_fileset(ours);
    test::write_file(ours.file("MD5"), md5sum_of(ours.file("IMAGE.DAT")));
    const auto plain = test::capture([&] { ddp_checksum_validate(ours.path().c_str()); });
    EXPECT_EQ(plain.out.find("Validating"), std::string::npos) << plain.out;
}

TEST(Validate, OnlySmallRegularFilesAreCandidates)
{
    test::TempDir dir;
    write_fileset(dir);
    // 6,600 bytes: a checksum file padded with empty lines.
    std::string crc_file = "[CRC32 Checksum]\nSD=" + zlib_crc_of(dir.file("SD")) + "\n";
    crc_file += std::string(6600 - crc_file.size(), '\n');
    test::write_file(dir.file("limit.txt"), crc_file);
    test::write_file(dir.file("over.txt"), crc_file + "\n");
    fs::create_directory(dir.file("folder.txt"));
    // A file that fails on reading must end its reader, not loop in it.
    fs::create_symlink("/proc/self/mem", dir.file("failing.txt"));
    const auto out = test::capture([&] { ddp_checksum_validate(dir.path().c_str()); });
    EXPECT_EQ(out.out, "\nValidating CRCs from file \"limit.txt\"\nSD: OK\n");
    EXPECT_EQ(out.err, "");
}

TEST(Validate, NamesOutsideTheFilesetAndFilesThatAreNoRegularFilesAreNotRead)
{
    // /dev/zero never ends and a FIFO without a writer never answers: reading either
    // would hang the check for good.
    test::TempDir dir;
    write_fileset(dir);
    const std::string up = "../../../dev/zero"; // 17 characters, the longest name a list keeps
    fs::create_symlink("/dev/zero", dir.file("ZERO"));
    ASSERT_EQ(mkfifo(dir.file("PIPE").c_str(), 0600), 0);
    fs::create_directory(dir.file("SUB"));
    test::write_file(dir.file("SUB/SD"), test::read_file(dir.file("SD")));
    test::write_file(dir.file("sums.txt"), "[CRC32 Checksum]\n" + up +
                                               "=12345678\nZERO=12345678\nPIPE=12345678\nSUB/SD=" +
                                               zlib_crc_of(dir.file("SD")) + "\nSD=" + zlib_crc_of(dir.file("SD")) +
                                               "\n");
    const auto out = test::capture([&] { ddp_checksum_validate(dir.path().c_str()); });
    EXPECT_EQ(out.out, "\nValidating CRCs from file \"sums.txt\"\nSD: OK\n");
    const std::string outside = "Error: can't open file \"" + dir.file(up) +
                                "\": not a file of the fileset directory\n";
    EXPECT_EQ(out.err, outside + "Error: can't open file \"" + dir.file("ZERO") + "\": not a regular file\n" +
                           "Error: can't open file \"" + dir.file("PIPE") + "\": not a regular file\n" +
                           "Error: can't open file \"" + dir.file("SUB/SD") + "\": not a file of the fileset directory\n");
}

TEST(Validate, AFileThatFailsToReadGetsNoVerdict)
{
    test::TempDir dir;
    write_fileset(dir);
    fs::create_symlink("/proc/self/mem", dir.file("FAILING"));
    test::write_file(dir.file("sums.txt"), "[CRC32 Checksum]\nFAILING=12345678\n");
    const auto out = test::capture([&] { ddp_checksum_validate(dir.path().c_str()); });
    EXPECT_EQ(out.out, "\nValidating CRCs from file \"sums.txt\"\nFAILING: \n");
    EXPECT_EQ(out.err, "Error: can't read file \"" + dir.file("FAILING") + "\": Input/output error\n");
}

} // namespace
