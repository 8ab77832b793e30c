// korvel: create DDP 2.00 filesets from audio CD cue sheets, and read them back.
// The driver reads the options into a command line that main acts on, then runs
// one mode as a straight sequence of steps. The writing mode parses the cue
// sheet, summarises and checks it, and with a target directory writes the audio
// image, the DDP streams, the optional CD-Text and cue sheet, and the checksum
// files. --check verifies filesets instead, --extract also writes a fileset's
// audio and cue sheet, and --diff compares two filesets. Every step is a call into another module.

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
#include "fileset_check.h"
#include "fileset_diff.h"
#include "fileset_extract.h"
#include "flac_encoder.h"
#include "fileset_zip_writer.h"
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
        log_plain("%s: write error on standard output: %s\n", program_name, std::strerror(errno));
        return 1;
    }
    return status;
}

void print_version()
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
}

void suggest_help() { std::printf("Try \"%s --help\" for more information.\n", program_name); }

void print_help()
{
    std::fputs("Usage: korvel [options] <cuefile> [ddpdirectory]\n"
               "       korvel --check [options] <ddpdirectory>...\n"
               "       korvel --extract [options] <ddpdirectory> <outputdirectory>\n"
               "       korvel --diff [options] <ddpdirectory> <ddpdirectory>\n"
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
               "    --diff      Compare two DDP filesets: identity, PQ stream, CD-Text and\n"
               "                audio; exit status 0 the same, 1 different, 2 unreadable\n"
               "    --format=FORMAT\n"
               "                With --extract: wav (the default) or flac, a tagged FLAC\n"
               "                file per track and image.flac with the disc's cue sheet\n"
               "    --proof     With --extract: also write index.html, a page that shows\n"
               "                the PQ listing and plays every track in a browser\n"
               "    --json      Print the report of --check, --extract or --diff as JSON\n"
               "    --audio     With --check or --extract: measure every track's loudness,\n"
               "                peaks, clipping, DC offset and silence\n"
               "    --pq-sheet=FILE\n"
               "                Write the disc's PQ sheet as an HTML page to FILE\n"
               "    --zip=FILE  Also write the fileset written as a ZIP archive to FILE\n"
               "                (--check and --extract read a ZIP archive of a fileset\n"
               "                wherever they take a fileset directory)\n"
               "    --threads=N Use N threads (1 or 2) for the copy and the checksums,\n"
               "                default is what the machine has, at most 2\n"
               "    --help      Print help and exit\n"
               "    --version   Print version information and exit\n"
               "\n"
               "Report bugs to: korvel developers <korvel-bugs@lists.invalid>\n",
               stdout);
}

/// The files a run reads, which it must never write over.
ddp_run_inputs inputs_of(const cuesheet_t &cue)
{
    ddp_run_inputs inputs;
    if (*cue.cuefile != "-")
        inputs.cuesheet = *cue.cuefile;
    for (const auto &file : cue.files)
        inputs.audio.push_back(file.path);
    inputs.cdtext = cue.cdtextfile.value_or("");
    return inputs;
}

/// The files the PQ sheet must not replace: the run's inputs and, with a directory, the fileset's files.
std::vector<pq_sheet_taboo> pq_sheet_taboos(const ddp_run_inputs &inputs, const char *ddpdir)
{
    std::vector<pq_sheet_taboo> taboos;
    for (const std::string &path : inputs.audio)
        taboos.push_back({path, "a file this run reads"});
    for (const std::string &path : {inputs.cuesheet, inputs.cdtext})
        if (!path.empty())
            taboos.push_back({path, "a file this run reads"});
    if (ddpdir != nullptr) {
        const ddp_files files = ddp_files_to_write(ddpdir, inputs, true, true);
        for (const ddp_file &f : files)
            taboos.push_back({ddp_file_path(files, f), "a file this run writes"});
    }
    return taboos;
}

/// The options the modes read.
struct run_options {
    std::string master_id; ///< empty when -m is not given
    bool combi_master = false;
    bool include_cdtext = false;
    bool json = false;
    bool audio = false;
    const char *pq_sheet = nullptr;
    const char *zip = nullptr; ///< the archive of the fileset, with --zip
    const char *cue_charset = nullptr;
    bool flac = false;  ///< --format=flac
    bool format = false; ///< --format was given
    bool proof = false;
};

/// What a run does: read a cue sheet (and, with a directory, write its fileset), verify DDP
/// filesets, verify one and extract its audio, or compare two.
enum class run_mode { write, check, extract, diff };

/// What main does once the command line is read.
enum class command_action {
    run,     ///< the options and operands fit: run the mode
    help,    ///< print the help text, status 0
    version, ///< print the version, status 0
    refused, ///< a message has been printed, status 1
};

/// What the command line asks for.
struct command_line {
    command_action action = command_action::run;
    run_mode mode = run_mode::write;
    run_options options;
    int verbose = 1;
    const char *first = nullptr;  ///< the cue sheet, or the fileset directory
    const char *second = nullptr; ///< the DDP directory, or the output directory
    std::vector<const char *> filesets; ///< with --check: every fileset directory, in order
    bool writer_option = false; ///< -c, -t or -m: options that only writing a fileset takes
    bool show_version = false;
};

/// The operands each mode takes, or an error message when they do not fit.
const char *operand_fault(run_mode mode, int operands, const run_options &o)
{
    if (mode == run_mode::check && operands < 1)
        return "--check takes one or more operands, the DDP fileset directories.\n";
    if (mode == run_mode::check && operands > 1 && o.pq_sheet != nullptr)
        return "--pq-sheet is the sheet of one disc: give --check one fileset with it.\n";
    if (mode == run_mode::write && o.zip != nullptr && operands < 2)
        return "--zip packs the fileset korvel writes: give the DDP directory too.\n";
    if (mode == run_mode::extract && operands != 2)
        return "--extract takes two operands, the DDP fileset directory and the output directory.\n";
    if (mode == run_mode::diff && operands != 2)
        return "--diff takes two operands, the DDP fileset directories to compare.\n";
    return nullptr;
}

/// Options that do not go with the mode, or null when all do.
const char *mode_fault(const command_line &cl)
{
    const bool reading = cl.mode != run_mode::write;
    if (reading && cl.writer_option)
        return cl.mode == run_mode::diff ? "-c, -t and -m write a fileset: they do not go with --diff.\n"
                                         : "-c, -t and -m write a fileset: they do not go with --check or --extract.\n";
    if (reading && cl.options.cue_charset != nullptr)
        return cl.mode == run_mode::diff ? "--cue-charset reads a cue sheet: it does not go with --diff.\n"
                                         : "--cue-charset reads a cue sheet: it does not go with --check or --extract.\n";
    if (reading && cl.options.zip != nullptr)
        return cl.mode == run_mode::diff
                   ? "--zip writes an archive of the fileset written: it does not go with --diff.\n"
                   : "--zip writes an archive of the fileset written: it does not go with --check or --extract.\n";
    // Its words are older than --diff, and korvel keeps the messages it has printed.
    if (!reading && cl.options.json)
        return "--json goes with --check or --extract only.\n";
    if (cl.mode == run_mode::diff && (cl.options.audio || cl.options.pq_sheet != nullptr))
        return "--audio and --pq-sheet go with --check or --extract, not with --diff.\n";
    if (!reading && cl.options.audio)
        return "--audio goes with --check or --extract only.\n";
    if (cl.mode != run_mode::extract && (cl.options.format || cl.options.proof))
        return "--format and --proof go with --extract only.\n";
    if (cl.options.flac && !flac_encoding_built_in())
        return "--format=flac needs libFLAC, which this korvel was built without: install libflac-dev and build "
               "korvel again, or extract WAVE files (--format=wav) and encode them with flac.\n";
    if (cl.options.audio && !audio_measuring_built_in())
        return "--audio needs libebur128, which this korvel was built without: install libebur128-dev and build "
               "korvel again.\n";
    return nullptr;
}

/// The message of a refused command line, then the hint where to read more.
command_action refuse(const char *message)
{
    log_err("%s", message);
    suggest_help();
    return command_action::refused;
}

/// Takes the master identifier of -m after its checks; the refusals print no hint.
command_action take_master_id(const char *id, command_line &cl)
{
    if (std::strlen(id) > master_id_max) {
        log_err("Master identifier is to long (48 characters max).\n");
        return command_action::refused;
    }
    if (!is_ascii_print(id)) {
        log_err("invalid character in master identifier. Use only printable ASCII characters!\n");
        return command_action::refused;
    }
    cl.options.master_id = id;
    cl.writer_option = true;
    return command_action::run;
}

/// Takes --check, --extract or --diff; they exclude each other.
command_action take_mode(run_mode mode, command_line &cl)
{
    if (cl.mode != run_mode::write && cl.mode != mode)
        return refuse(cl.mode == run_mode::diff || mode == run_mode::diff ? "--diff goes with neither --check nor --extract.\n"
                                                                          : "--check and --extract cannot be combined.\n");
    cl.mode = mode;
    return command_action::run;
}

/// Takes --threads: 1 or 2.
command_action take_threads(const char *n)
{
    if (std::strcmp(n, "1") != 0 && std::strcmp(n, "2") != 0) {
        log_err("--threads takes 1 or 2, not '%s'.\n", n);
        suggest_help();
        return command_action::refused;
    }
    threads_set(std::atoi(n));
    return command_action::run;
}

/// Takes --format: the extracted audio's format, wav or flac.
command_action take_format(const char *name, run_options &o)
{
    if (std::strcmp(name, "wav") != 0 && std::strcmp(name, "flac") != 0) {
        log_err("--format takes wav or flac, not '%s'.\n", name);
        suggest_help();
        return command_action::refused;
    }
    o.format = true;
    o.flac = std::strcmp(name, "flac") == 0;
    return command_action::run;
}

/// Takes --cue-charset: a name iconv knows.
command_action take_cue_charset(const char *name, run_options &o)
{
    if (!charset_is_known(name)) {
        log_err("--cue-charset: iconv does not know the character set '%s' ('iconv -l' lists those it knows).\n", name);
        return command_action::refused;
    }
    o.cue_charset = name;
    return command_action::run;
}

// Long options without a short form.
enum {
    opt_check = 256,
    opt_extract,
    opt_diff,
    opt_json,
    opt_pq_sheet,
    opt_threads,
    opt_cue_charset,
    opt_audio,
    opt_version,
    opt_format,
    opt_proof,
    opt_zip
};

/// Applies the option `c` (with its argument `arg`) to `cl`. --help and a refusal end the
/// reading at once; --version only sets its flag, as the other options are read before it acts.
command_action take_option(int c, const char *arg, command_line &cl)
{
    run_options &o = cl.options;
    switch (c) {
    case 'h':
        return command_action::help;
    case opt_version:
        cl.show_version = true;
        return command_action::run;
    case 'm':
        return take_master_id(arg, cl);
    case 'v':
        cl.verbose = std::atoi(arg);
        return command_action::run;
    case 'c':
    case 't':
        (c == 'c' ? o.combi_master : o.include_cdtext) = true;
        cl.writer_option = true;
        return command_action::run;
    case opt_check:
        return take_mode(run_mode::check, cl);
    case opt_extract:
        return take_mode(run_mode::extract, cl);
    case opt_diff:
        return take_mode(run_mode::diff, cl);
    case opt_json:
        o.json = true;
        return command_action::run;
    case opt_audio:
        o.audio = true;
        return command_action::run;
    case opt_pq_sheet:
        if (*arg == '\0') {
            log_err("--pq-sheet needs a file name: --pq-sheet=FILE.\n");
            suggest_help();
            return command_action::refused;
        }
        o.pq_sheet = arg;
        return command_action::run;
    case opt_zip:
        if (*arg == '\0') {
            log_err("--zip needs a file name: --zip=FILE.\n");
            suggest_help();
            return command_action::refused;
        }
        o.zip = arg;
        return command_action::run;
    case opt_threads:
        return take_threads(arg);
    case opt_cue_charset:
        return take_cue_charset(arg, o);
    case opt_format:
        return take_format(arg, o);
    case opt_proof:
        o.proof = true;
        return command_action::run;
    default: // getopt_long has printed its own diagnostic
        suggest_help();
        return command_action::refused;
    }
}

/// Takes the operands `operands[0..count)` after the options fit the mode.
command_action take_operands(char *operands[], int count, command_line &cl)
{
    if (const char *fault = mode_fault(cl))
        return refuse(fault);
    if (const char *fault = operand_fault(cl.mode, count, cl.options))
        return refuse(fault);
    if (cl.mode == run_mode::write && count < 1)
        return refuse("Missing cuefile.\n");
    if (cl.mode == run_mode::check)
        cl.filesets.assign(operands, operands + count);
    cl.first = operands[0];
    cl.second = count > 1 ? operands[1] : nullptr;
    if (count > 2 && cl.mode != run_mode::check)
        return refuse("Two many arguments.\n");
    // An empty name (an unset variable in a script) would write into the current directory.
    if ((cl.mode == run_mode::write || cl.mode == run_mode::extract) && cl.second != nullptr && *cl.second == '\0')
        return refuse(cl.mode == run_mode::write ? "The DDP directory name is empty."
                                                 : "The output directory name is empty.\n");
    return command_action::run;
}

/// Reads the options and operands. Every refusal has printed its message when this returns;
/// --help and --version are for main to act on.
command_line read_command_line(int argc, char *argv[])
{
    static const option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, opt_version},
        {"verbose", required_argument, nullptr, 'v'},
        {"master-id", required_argument, nullptr, 'm'},
        {"add-cuesheet", no_argument, nullptr, 'c'},
        {"add-cdtext", no_argument, nullptr, 't'},
        {"check", no_argument, nullptr, opt_check},
        {"extract", no_argument, nullptr, opt_extract},
        {"diff", no_argument, nullptr, opt_diff},
        {"json", no_argument, nullptr, opt_json},
        {"pq-sheet", required_argument, nullptr, opt_pq_sheet},
        {"threads", required_argument, nullptr, opt_threads},
        {"cue-charset", required_argument, nullptr, opt_cue_charset},
        {"audio", no_argument, nullptr, opt_audio},
        {"format", required_argument, nullptr, opt_format},
        {"proof", no_argument, nullptr, opt_proof},
        {"zip", required_argument, nullptr, opt_zip},
        {nullptr, 0, nullptr, 0},
    };
    command_line cl;
    int c;
    while ((c = getopt_long(argc, argv, "hm:ctv:", options, nullptr)) != -1) {
        cl.action = take_option(c, optarg, cl);
        if (cl.action != command_action::run)
            return cl;
    }
    if (cl.show_version)
        cl.action = command_action::version;
    else
        cl.action = take_operands(argv + optind, argc - optind, cl);
    return cl;
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

/// Nothing when `dir` is a directory; otherwise what it is and what to do.
/// korvel makes no directory: the user chooses where a fileset goes.
std::string directory_problem(const char *dir)
{
    struct stat st;
    const std::string name = log_printable(dir);
    if (stat(dir, &st) == 0)
        return S_ISDIR(st.st_mode) ? "" : name + ": not a directory";
    if (errno != ENOENT)
        return name + ": " + std::strerror(errno);
    const bool parent_there = stat(folder_of(dir).c_str(), &st) == 0;
    return name + ": no such directory (create it first: mkdir " + (parent_there ? "" : "-p ") +
           log_printable(shell_word(dir)) + ")";
}

/// What is wrong with the operands and option values that name places, checked before any work
/// is done: the directories korvel writes into, the PQ sheet's and the archive's folders, and a
/// cue sheet that is a directory. Nothing when all is well.
std::string operand_problem(const command_line &cl)
{
    struct stat st;
    if (cl.mode == run_mode::write && std::strcmp(cl.first, "-") != 0 && stat(cl.first, &st) == 0 && S_ISDIR(st.st_mode))
        return log_printable(cl.first) + " is a directory: to read a DDP fileset, use korvel --check " +
               log_printable(shell_word(cl.first));
    // --diff reads both operands: one that is no fileset is its own answer, status 2.
    if (cl.mode != run_mode::check && cl.mode != run_mode::diff && cl.second != nullptr) {
        if (std::string why = directory_problem(cl.second); !why.empty())
            return why;
    }
    const std::pair<const char *, const char *> files[] = {{"--pq-sheet", cl.options.pq_sheet}, {"--zip", cl.options.zip}};
    for (const auto &[option, file] : files) {
        if (file == nullptr)
            continue;
        if (stat(file, &st) == 0 && S_ISDIR(st.st_mode))
            return log_printable(file) + " is a directory: " + option + " names the " +
                   (file == cl.options.zip ? "archive" : "HTML file") + " to write";
        if (std::string why = directory_problem(folder_of(file).c_str()); !why.empty())
            return why;
    }
    return "";
}

/// 0 when the operands name usable places; otherwise says what is wrong (in the JSON report
/// too, when one was asked for) and gives 1.
int check_operand_paths(const command_line &cl)
{
    const std::string why = operand_problem(cl);
    if (why.empty())
        return 0;
    log_plain("%s: %s\n", program_name, why.c_str());
    if (cl.options.json && (cl.mode == run_mode::check || cl.mode == run_mode::extract))
        fileset_print_refused(cl.first, why);
    return 1;
}

/// The parts a fileset takes beside the image and the DDP streams, decided once before anything is written.
struct fileset_parts {
    bool cuesheet = false; ///< IMAGE.cue
    bool cdtext = false;   ///< CDTEXT.BIN
};

/// -t asks for CD-Text; a disc without any gets a warning and a fileset without CDTEXT.BIN.
fileset_parts parts_of(const cuesheet_t &cue, const run_options &o)
{
    fileset_parts parts;
    parts.cuesheet = o.combi_master;
    parts.cdtext = o.include_cdtext;
    if (parts.cdtext && !pq_has_cdtext(*cue.pq) && !cue.cdtextfile) {
        log_warn("'-t' option set, but no CD text found in cue sheet.\n");
        parts.cdtext = false;
    }
    return parts;
}

/// Reads the cue sheet, its audio and CD-Text files into `cue`; a refused input throws fatal_error.
void read_cue_sheet(const char *cuefile, bool writing, const run_options &o, cuesheet_t *cue)
{
    log_msg(1, "Parsing cue sheet '%s'...\n", log_printable(cuefile).c_str());
    cue->cdtext_from_texts = o.include_cdtext && writing;
    cue->charset = o.cue_charset;
    cue_open(cuefile, cue);
    log_msg(1, "done.\n");
}

/// Prints the summary, checks the disc against the Red Book and writes the PQ sheet when asked.
/// 0 when the disc may be written.
int check_disc(const cuesheet_t &cue, const run_options &o, const char *ddpdir)
{
    cue_summary(&cue);
    if (!pq_check(*cue.pq)) {
        log_err("PQ data is not Red Book compatible\n");
        return 1;
    }
    if (o.pq_sheet != nullptr && pq_sheet_write(*cue.pq, o.pq_sheet, pq_sheet_taboos(inputs_of(cue), ddpdir)) != 0)
        return 1;
    return 0;
}

/// Writes IMAGE.DAT into `ddpdir`, its digests taken on the way: the checksum files need not read it again.
int write_image(cuesheet_t *cue, const char *ddpdir, digest_pair *digests)
{
    log_msg(1, "Writing DDP fileset...\n");
    log_msg(1, "Copying audio data\n");
    for (const auto &file : cue->files)
        log_msg(1, "  from: %s\n", log_printable(file.path).c_str());
    const std::string image = tolk_path_join(ddpdir, "IMAGE.DAT").value_or("IMAGE.DAT");
    log_msg(1, "  to:   %s\n", log_printable(image).c_str());
    if (cue_copy_audio(cue, image.c_str(), digests) != 0) {
        log_err("Error while writing DDP data file\n");
        return 1;
    }
    log_msg(1, "  %ld sectors written (%ld bytes).\n", cue->pq->lead_out, cue->pq->lead_out * CD_FRAME_BYTES);
    return 0;
}

/// 1, after an error naming both, when the archive of --zip is or would be a file the run reads
/// or writes (the PQ sheet too); checked before anything is written.
int zip_refused(const char *zip, const cuesheet_t &cue, const run_options &o, const char *ddpdir)
{
    std::vector<pq_sheet_taboo> taboos = pq_sheet_taboos(inputs_of(cue), ddpdir);
    if (o.pq_sheet != nullptr)
        taboos.push_back({o.pq_sheet, "the PQ sheet this run writes"});
    for (const pq_sheet_taboo &taboo : taboos) {
        if (output_same_place(taboo.path.c_str(), zip) || output_same_file(taboo.path.c_str(), zip)) {
            log_err("%s is %s, %s: the archive never replaces a file of the run\n", log_printable(zip).c_str(),
                    log_printable(taboo.path).c_str(), taboo.what);
            return 1;
        }
    }
    return 0;
}

/// Writes the DDP streams, CD-Text and the cue sheet. Every writer reports its own failure and
/// the others still run, so that the user sees all of them; 0 when all were written.
int write_streams(const char *ddpdir, const cuesheet_t &cue, const run_options &o, fileset_parts parts)
{
    int status = ddp_write(ddpdir, *cue.pq, o.master_id.c_str()) != 0 ? 1 : 0;
    if (parts.cdtext) {
        const int written = cue.cdtextfile ? ddp_write_cdtext_from_file(ddpdir, cue.cdtextfile->c_str(), cue.cdtext_header)
                                           : ddp_write_cdtext(ddpdir, *cue.pq);
        if (written != 0)
            status = 1;
    }
    if (parts.cuesheet && ddp_write_cuesheet(ddpdir, *cue.pq) != 0)
        status = 1;
    return status;
}

/// Writes CHECKSUM.MD5 and CHECKSUM.TXT over the complete fileset.
int write_checksums(const char *ddpdir, const digest_pair *image_digests)
{
    log_msg(1, "Calculating checksums...\n");
    const int status = ddp_checksum_write(ddpdir, image_digests) != 0 ? 1 : 0;
    log_msg(1, "...done.\n");
    return status;
}

namespace mode {

/// Parses, summarises and checks the cue sheet and, with a directory, writes the fileset.
/// 0 only when everything asked for was written completely.
int write(const command_line &cl)
{
    const char *ddpdir = cl.second;
    // One run at a time writes into a directory: a second one stops before it does anything.
    output_lock lock;
    if (ddpdir != nullptr && lock.acquire(ddpdir) == 1)
        return 1;
    cuesheet_t cue;
    read_cue_sheet(cl.first, ddpdir != nullptr, cl.options, &cue);
    if (cl.options.zip != nullptr && zip_refused(cl.options.zip, cue, cl.options, ddpdir) != 0)
        return 1;
    if (check_disc(cue, cl.options, ddpdir) != 0)
        return 1;
    if (ddpdir == nullptr) {
        cue_close(&cue);
        return 0;
    }
    const fileset_parts parts = parts_of(cue, cl.options);
    // Every file of the fileset is known before the first byte is written.
    const ddp_files files = ddp_files_to_write(ddpdir, inputs_of(cue), parts.cuesheet, parts.cdtext);
    if (ddp_prepare(files) != 0)
        return 1;
    digest_pair image_digests;
    if (write_image(&cue, ddpdir, &image_digests) != 0)
        return 1;
    // DDPMS is the fileset's table of contents: an IMAGE.cue or CDTEXT.BIN of an earlier disc that
    // this fileset will not hold goes before the new map comes in, so that no map, even of a run
    // killed half-way, stands beside another disc's CD-Text.
    ddp_remove_stale(files);
    // Checksum files vouch for a fileset: never for an incomplete one.
    if (write_streams(ddpdir, cue, cl.options, parts) != 0) {
        log_err("no checksum files written: the fileset is incomplete\n");
        return 1;
    }
    int status = write_checksums(ddpdir, &image_digests);
    cue_close(&cue);
    // The archive is of the complete fileset only: a run that failed writes none.
    if (status == 0 && cl.options.zip != nullptr)
        status = fileset_zip_write(cl.options.zip, ddpdir);
    return status;
}

/// Verifies each fileset and reports; one fileset may also have its PQ sheet written.
int check(const command_line &cl)
{
    if (cl.filesets.size() > 1)
        return fileset_check_batch(cl.filesets, cl.options.json);
    return fileset_read_run(cl.first, nullptr, cl.options.json, extract_options{false, false, cl.options.pq_sheet});
}

/// Verifies the fileset and extracts it into the output directory.
int extract(const command_line &cl)
{
    const run_options &o = cl.options;
    return fileset_read_run(cl.first, cl.second, o.json, extract_options{o.flac, o.proof, o.pq_sheet});
}

/// Compares the two filesets: 0 the same, 1 different, 2 when either cannot be read.
int diff(const command_line &cl) { return fileset_diff_run(cl.first, cl.second, cl.options.json); }

} // namespace mode

/// Runs the mode; a refused input file ends it with the status it carries, its diagnostic printed.
int run(const command_line &cl)
{
    try {
        switch (cl.mode) {
        case run_mode::write:
            return mode::write(cl);
        case run_mode::check:
            return mode::check(cl);
        case run_mode::extract:
            return mode::extract(cl);
        case run_mode::diff:
            return mode::diff(cl);
        }
    } catch (const fatal_error &e) {
        return e.status();
    }
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    const command_line cl = read_command_line(argc, argv);
    switch (cl.action) {
    case command_action::help:
        print_help();
        return finish_stdout(0);
    case command_action::version:
        print_version();
        return finish_stdout(0);
    case command_action::refused:
        return 1;
    case command_action::run:
        break;
    }
    if (check_operand_paths(cl) != 0)
        return 1;
    log_set_verbose(cl.verbose);
    fileset_check_measure_audio(cl.options.audio);
    output_install_signal_handlers();
    return finish_stdout(run(cl));
}
