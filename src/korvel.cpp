// korvel: create DDP 2.00 filesets from audio CD cue sheets, and read them back.
// The driver reads the options, then runs one straight sequence: parse the
// cue sheet, summarise and check it, and with a target directory write the
// audio image, the DDP streams, the optional CD-Text and cue sheet, and the
// checksum files. With --check it verifies a fileset instead, and with
// --extract it also writes the fileset's audio and cue sheet. Every step is a
// call into another module.

#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio_report.h"
#include "block_pipeline.h"
#include "cue_summary.h"
#include "cueparser.h"
#include "ddp_checksum.h"
#include "fileset_batch.h"
#include "fileset_extract.h"
#include "image_copy.h"
#include "log.h"
#include "miniddp.h"
#include "pq_sheet.h"
#include "pqlist.h"
#include "safe_output.h"
#include "text_encoding.h"
#include "tolk_utils.h"

#ifndef KORVEL_VERSION
#define KORVEL_VERSION "0.0.0"
#endif
#ifndef KORVEL_GIT_VERSION
#define KORVEL_GIT_VERSION "unknown"
#endif

namespace {

constexpr const char *program_name = "korvel";
/// DDPID carries 48 characters of master identifier.
constexpr std::size_t master_id_max = 48;

int is_ascii_print(const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p)
        if (*p < 32 || *p > 126)
            return 0;
    return 1;
}

/// Standard output carries the summary and listings: a run whose output was lost
/// (a full disk, a closed pipe) has failed, whatever else it did.
int finish_stdout(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: write error on standard output: %s\n", program_name, std::strerror(errno));
        return 1;
    }
    return status;
}

[[noreturn]] void print_version()
{
    std::printf("%s  (vantrel %s)\n", program_name, KORVEL_VERSION);
    std::printf("Git version: %s, compilation date: %s\n", KORVEL_GIT_VERSION, __DATE__ " " __TIME__);
    std::fputs("\n"
               "This program is distributed in the hope that it will be useful,\n"
               "but WITHOUT ANY WARRANTY; without even the implied warranty of\n"
               "MERCHANTABILITY or FITNESS FOR A PARTICULAR PURPOSE. Check every\n"
               "fileset it writes, and a reference disc made from it, before you\n"
               "send it to a pressing plant: the authors accept no liability for\n"
               "discs or other damage caused by the use of this program.\n"
               "Use it at your own risk.\n"
               "\n"
               "DDP and Disc Description Protocol are trademarks of DCA, Inc.\n"
               "(Doug Carson & Associates). korvel is not affiliated with or\n"
               "endorsed by the owner of these trademarks.\n",
               stdout);
    std::exit(finish_stdout(0));
}

void suggest_help() { std::printf("Try \"%s --help\" for more information.\n", program_name); }

[[noreturn]] void print_help()
{
    std::fputs("Usage: korvel [options] <cuefile> [ddpdirectory]\n"
               "       korvel --check [options] <ddpdirectory>...\n"
               "       korvel --extract [options] <ddpdirectory> <outputdirectory>\n"
               "\n"
               "Create DDP 2.00 filesets from audio CD cue sheets.\n"
               "\n"
               "Options: \n"
               "    -c, --add-cuesheet\n"
               "                Include a cue sheet in the DDP fileset\n"
               "    -m MASTER_ID, --master-id=MASTER_ID\n"
               "                Set master identifier, max. 48 characters, ASCII encoded\n"
               "    -t, --add-cdtext\n"
               "                Include CD text information in the DDP fileset\n"
               "    --cue-charset=NAME\n"
               "                Read the cue sheet in the code page NAME (any name\n"
               "                iconv knows) instead of the one detected\n"
               "    -v LEVEL, --verbose=LEVEL\n"
               "                Set verbose level, higher values yield more output,\n"
               "                default is 1, greater than 3 is for debug messages\n"
               "    --check     Read and verify a DDP fileset and print its report\n"
               "    --extract   Verify a DDP fileset, then write image.wav, image.cue and\n"
               "                one WAVE file per track into the output directory\n"
               "    --json      Print the report of --check or --extract as JSON\n"
               "    --audio     With --check or --extract: measure every track's loudness,\n"
               "                peaks, clipping, DC offset and silence\n"
               "    --pq-sheet=FILE\n"
               "                Write the disc's PQ sheet as an HTML page to FILE\n"
               "    --threads=N Use N threads (1 or 2) for the copy and the checksums,\n"
               "                default is what the machine has, at most 2\n"
               "    --help      Print help and exit\n"
               "    --version   Print version information and exit\n"
               "\n"
               "Report bugs to: korvel developers <korvel-bugs@lists.invalid>\n",
               stdout);
    std::exit(finish_stdout(0));
}

/// The files a run reads, which it must never write over.
ddp_inputs_t inputs_of(const cuesheet_t &cue)
{
    ddp_inputs_t inputs;
    if (*cue.cuefile != "-")
        inputs.cuesheet = *cue.cuefile;
    for (const auto &file : cue.files)
        inputs.audio.push_back(file.path);
    inputs.cdtext = cue.cdtextfile.value_or("");
    return inputs;
}

/// The files the PQ sheet must not replace: the run's inputs and, with a directory, the fileset's files.
std::vector<pq_sheet_taboo> pq_sheet_taboos(const ddp_inputs_t &inputs, const char *ddpdir)
{
    std::vector<pq_sheet_taboo> taboos;
    for (const std::string &path : inputs.audio)
        taboos.push_back({path, "a file this run reads"});
    for (const std::string &path : {inputs.cuesheet, inputs.cdtext})
        if (!path.empty())
            taboos.push_back({path, "a file this run reads"});
    if (ddpdir != nullptr)
        for (const char *name : {"IMAGE.DAT", "SD", "DDPMS", "DDPID", "CDTEXT.BIN", "IMAGE.cue", "CHECKSUM.MD5",
                                 "CHECKSUM.TXT"})
            taboos.push_back({tolk_path_join(ddpdir, name).value_or(name), "a file this run writes"});
    return taboos;
}

/// What the command line asks for.
struct run_options {
    const char *master_id = "";
    bool combi_master = false;
    bool include_cdtext = false;
    bool json = false;
    bool audio = false;
    const char *pq_sheet = nullptr;
    const char *cue_charset = nullptr;
};

/// Parses, summarises and checks the cue sheet and, with a directory, writes the fileset.
/// 0 only when everything asked for was written completely.
int run(const char *cuefile, const char *ddpdir, const run_options &o)
{
    const char *master_id = o.master_id;
    const bool combi_master = o.combi_master;
    bool include_cdtext = o.include_cdtext;
    // One run at a time writes into a directory: a second one stops before it does anything.
    output_lock lock;
    if (ddpdir != nullptr && lock.acquire(ddpdir) == 1)
        return 1;

    log_msg(1, "Parsing cue sheet '%s'...\n", log_printable(cuefile).c_str());
    cuesheet_t cue;
    cue.cdtext_from_texts = include_cdtext && ddpdir != nullptr;
    cue.charset = o.cue_charset;
    cue_open(cuefile, &cue);
    log_msg(1, "done.\n");

    cue_summary(&cue);
    if (!pq_check(*cue.pq)) {
        log_err("PQ data is not Red Book compatible\n");
        return 1;
    }
    if (o.pq_sheet != nullptr && pq_sheet_write(*cue.pq, o.pq_sheet, pq_sheet_taboos(inputs_of(cue), ddpdir)) != 0)
        return 1;
    if (ddpdir == nullptr) {
        cue_close(&cue);
        return 0;
    }

    if (include_cdtext && !pq_has_cdtext(*cue.pq) && !cue.cdtextfile) {
        log_warn("'-t' option set, but no CD text found in cue sheet.\n");
        include_cdtext = false;
    }
    const ddp_inputs_t inputs = inputs_of(cue);
    if (ddp_prepare(ddpdir, inputs, combi_master, include_cdtext) != 0)
        return 1;

    log_msg(1, "Writing DDP fileset...\n");
    log_msg(1, "Copying audio data\n");
    for (const auto &file : cue.files)
        log_msg(1, "  from: %s\n", log_printable(file.path).c_str());
    // The image's digests are taken as it is written: the checksum files need not read it again.
    digest_pair image_digests;
    {
        const std::string image = tolk_path_join(ddpdir, "IMAGE.DAT").value_or("IMAGE.DAT");
        log_msg(1, "  to:   %s\n", log_printable(image).c_str());
        if (cue_copy_audio(&cue, image.c_str(), &image_digests) != 0) {
            log_err("Error while writing DDP data file\n");
            return 1;
        }
    }
    log_msg(1, "  %ld sectors written (%ld bytes).\n", cue.pq->lead_out, cue.pq->lead_out * CD_FRAME_BYTES);

    // DDPMS is the fileset's table of contents: an IMAGE.cue or CDTEXT.BIN of an earlier disc that
    // this fileset will not hold goes before the new map comes in, so that no map, even of a run
    // killed half-way, stands beside another disc's CD-Text.
    ddp_remove_stale(ddpdir, inputs, combi_master, include_cdtext);

    // From here on every writer reports its own failures; the run goes on so that the
    // user sees all of them.
    int status = 0;
    if (ddp_write(ddpdir, *cue.pq, master_id) != 0)
        status = 1;
    if (include_cdtext) {
        const int written = cue.cdtextfile ? ddp_write_cdtext_from_file(ddpdir, cue.cdtextfile->c_str(), cue.cdtext_header)
                                           : ddp_write_cdtext(ddpdir, *cue.pq);
        if (written != 0)
            status = 1;
    }
    if (combi_master && ddp_write_cuesheet(ddpdir, *cue.pq) != 0)
        status = 1;
    // Checksum files vouch for a fileset: never for an incomplete one.
    if (status != 0) {
        log_err("no checksum files written: the fileset is incomplete\n");
        return 1;
    }
    log_msg(1, "Calculating checksums...\n");
    if (ddp_checksum_write(ddpdir, &image_digests) != 0)
        status = 1;
    log_msg(1, "...done.\n");

    cue_close(&cue);
    return status;
}

/// The operands each mode takes, or an error message when they do not fit.
const char *operand_fault(int mode, int operands, const run_options &o)
{
    if (mode == 'C' && operands < 1)
        return "--check takes one or more operands, the DDP fileset directories.\n";
    if (mode == 'C' && operands > 1 && o.pq_sheet != nullptr)
        return "--pq-sheet is the sheet of one disc: give --check one fileset with it.\n";
    if (mode == 'X' && operands != 2)
        return "--extract takes two operands, the DDP fileset directory and the output directory.\n";
    return nullptr;
}

/// Options that do not go with the mode, or null when all do.
const char *mode_fault(int mode, bool writer_option, const run_options &o)
{
    if (mode != 0 && writer_option)
        return "-c, -t and -m write a fileset: they do not go with --check or --extract.\n";
    if (mode != 0 && o.cue_charset != nullptr)
        return "--cue-charset reads a cue sheet: it does not go with --check or --extract.\n";
    if (mode == 0 && o.json)
        return "--json goes with --check or --extract only.\n";
    if (mode == 0 && o.audio)
        return "--audio goes with --check or --extract only.\n";
    if (o.audio && !audio_measuring_built_in())
        return "--audio needs libebur128, which this korvel was built without: install libebur128-dev and build "
               "korvel again.\n";
    return nullptr;
}

/// What the command line asks for.
struct command_line {
    int mode = 0; ///< 0 reads a cue sheet, 'C' checks a fileset, 'X' extracts one
    run_options options;
    int verbose = 1;
    const char *first = nullptr;  ///< the cue sheet, or the fileset directory
    const char *second = nullptr; ///< the DDP directory, or the output directory
    std::vector<const char *> filesets; ///< with --check: every fileset directory, in order
    char master_id[master_id_max + 1] = {};
};

/// Reads the options and operands into `cl`. -1 when the run may start; otherwise the exit
/// status, after the messages (--help and --version end the process themselves).
int read_command_line(int argc, char *argv[], command_line *cl)
{
    static int show_version = 0;
    // Long options without a short form.
    enum { opt_check = 256, opt_extract, opt_json, opt_pq_sheet, opt_threads, opt_cue_charset, opt_audio };
    static const option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, &show_version, 1},
        {"verbose", required_argument, nullptr, 'v'},
        {"master-id", required_argument, nullptr, 'm'},
        {"add-cuesheet", no_argument, nullptr, 'c'},
        {"add-cdtext", no_argument, nullptr, 't'},
        {"check", no_argument, nullptr, opt_check},
        {"extract", no_argument, nullptr, opt_extract},
        {"json", no_argument, nullptr, opt_json},
        {"pq-sheet", required_argument, nullptr, opt_pq_sheet},
        {"threads", required_argument, nullptr, opt_threads},
        {"cue-charset", required_argument, nullptr, opt_cue_charset},
        {"audio", no_argument, nullptr, opt_audio},
        {nullptr, 0, nullptr, 0},
    };
    run_options &o = cl->options;
    o.master_id = cl->master_id;
    int &mode = cl->mode;
    bool writer_option = false;

    int c;
    while ((c = getopt_long(argc, argv, "hm:ctv:", options, nullptr)) != -1) {
        switch (c) {
        case 0:
            break; // --version sets its flag itself
        case 'h':
            print_help();
        case 'm':
            if (std::strlen(optarg) > master_id_max) {
                log_err("Master identifier is to long (48 characters max).");
                return 1;
            }
            if (!is_ascii_print(optarg)) {
                log_err("invalid character in master identifier. Use only printable ASCII characters!");
                return 1;
            }
            std::memset(cl->master_id, 0, sizeof cl->master_id);
            std::memcpy(cl->master_id, optarg, std::strlen(optarg));
            writer_option = true;
            break;
        case 'v':
            cl->verbose = std::atoi(optarg);
            break;
        case 'c':
            o.combi_master = true;
            writer_option = true;
            break;
        case 't':
            o.include_cdtext = true;
            writer_option = true;
            break;
        case opt_check:
        case opt_extract:
            if (mode != 0 && mode != (c == opt_check ? 'C' : 'X')) {
                log_err("--check and --extract cannot be combined.\n");
                suggest_help();
                return 1;
            }
            mode = c == opt_check ? 'C' : 'X';
            break;
        case opt_json:
            o.json = true;
            break;
        case opt_audio:
            o.audio = true;
            break;
        case opt_pq_sheet:
            if (*optarg == '\0') {
                log_err("--pq-sheet needs a file name: --pq-sheet=FILE.\n");
                suggest_help();
                return 1;
            }
            o.pq_sheet = optarg;
            break;
        case opt_threads:
            if (std::strcmp(optarg, "1") != 0 && std::strcmp(optarg, "2") != 0) {
                log_err("--threads takes 1 or 2, not '%s'.\n", optarg);
                suggest_help();
                return 1;
            }
            threads_set(std::atoi(optarg));
            break;
        case opt_cue_charset:
            if (!charset_is_known(optarg)) {
                log_err("--cue-charset: iconv does not know the character set '%s' ('iconv -l' lists those it knows).\n",
                        optarg);
                return 1;
            }
            o.cue_charset = optarg;
            break;
        default:
            suggest_help();
            return 1;
        }
    }

    if (show_version)
        print_version();

    if (const char *fault = mode_fault(mode, writer_option, o)) {
        log_err("%s", fault);
        suggest_help();
        return 1;
    }
    if (const char *fault = operand_fault(mode, argc - optind, o)) {
        log_err("%s", fault);
        suggest_help();
        return 1;
    }

    if (mode == 0 && optind >= argc) {
        log_err("Missing cuefile.");
        suggest_help();
        return 1;
    }
    if (mode == 'C')
        cl->filesets.assign(argv + optind, argv + argc);
    cl->first = argv[optind++];
    if (optind < argc)
        cl->second = argv[optind++];
    if (optind < argc && mode != 'C') {
        log_err("Two many arguments.");
        suggest_help();
        return 1;
    }
    // An empty name (an unset variable in a script) would write into the current directory.
    if (mode != 'C' && cl->second != nullptr && *cl->second == '\0') {
        log_err(mode == 0 ? "The DDP directory name is empty." : "The output directory name is empty.\n");
        suggest_help();
        return 1;
    }
    return -1;
}

/// A path as one word of a shell command line, quoted only when it must be.
std::string shell_word(const std::string &path)
{
    const std::string plain = path[0] == '-' ? "./" + path : path;
    if (plain.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./+,:@%=-") ==
        std::string::npos)
        return plain;
    std::string quoted = "'";
    for (const char c : plain)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

/// The folder that holds `path` ("." for a bare name), without a trailing slash.
std::string folder_of(const char *path)
{
    std::string name = path;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    std::string folder = tolk_path_get_dir(name.c_str());
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder.empty() ? "." : folder;
}

/// 0 when `dir` is a directory; otherwise says what it is and what to do, and gives 1.
/// korvel makes no directory: the user chooses where a fileset goes.
int need_directory(const char *dir)
{
    struct stat st;
    if (stat(dir, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return 0;
        std::fprintf(stderr, "%s: %s: not a directory\n", program_name, log_printable(dir).c_str());
    } else if (errno == ENOENT) {
        const std::string parent = folder_of(dir);
        const bool parent_there = stat(parent.c_str(), &st) == 0;
        std::fprintf(stderr, "%s: %s: no such directory (create it first: mkdir %s%s)\n", program_name,
                     log_printable(dir).c_str(), parent_there ? "" : "-p ", log_printable(shell_word(dir)).c_str());
    } else {
        std::fprintf(stderr, "%s: %s: %s\n", program_name, log_printable(dir).c_str(), std::strerror(errno));
    }
    return 1;
}

/// The operands and option values that name places, checked before any work is done: the
/// directories korvel writes into, the PQ sheet's folder, and a cue sheet that is a directory.
int check_operand_paths(const command_line &cl)
{
    struct stat st;
    if (cl.mode == 0 && std::strcmp(cl.first, "-") != 0 && stat(cl.first, &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "%s: %s is a directory: to read a DDP fileset, use korvel --check %s\n", program_name,
                     cl.first, shell_word(cl.first).c_str());
        return 1;
    }
    if (cl.mode != 'C' && cl.second != nullptr && need_directory(cl.second) != 0)
        return 1;
    if (const char *pq_sheet = cl.options.pq_sheet) {
        if (stat(pq_sheet, &st) == 0 && S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "%s: %s is a directory: --pq-sheet names the HTML file to write\n", program_name,
                         pq_sheet);
            return 1;
        }
        if (need_directory(folder_of(pq_sheet).c_str()) != 0)
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    command_line cl;
    if (const int status = read_command_line(argc, argv, &cl); status >= 0)
        return status;
    if (check_operand_paths(cl) != 0)
        return 1;

    log_set_verbose(cl.verbose);
    fileset_check_measure_audio(cl.options.audio);
    output_install_signal_handlers();
    int status;
    try {
        if (cl.filesets.size() > 1)
            status = fileset_check_batch(cl.filesets, cl.options.json);
        else
            status = cl.mode == 0 ? run(cl.first, cl.second, cl.options)
                                  : fileset_read_run(cl.first, cl.second, cl.options.json, cl.options.pq_sheet);
    } catch (const fatal_error &e) {
        // An input file was refused; its diagnostic has been printed.
        status = e.status();
    }
    return finish_stdout(status);
}
