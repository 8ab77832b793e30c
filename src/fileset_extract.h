// Extraction of a verified DDP fileset, for `korvel --extract`: the disc's audio
// as one WAVE file with a cue sheet for it (from which korvel writes the same
// fileset again), and one WAVE file per track, so that playing them in order is
// the disc without a gap; or the same as a tagged FLAC release set, and a proof
// page for the client. Every output is written under the data-safety rules.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fileset_check.h"

/// What an extraction writes beside image.cue: WAVE or FLAC files (see flac_encoder.h for the
/// release set), and with `proof` the proof page (see proof_page.h).
struct extract_options {
    bool flac = false;
    bool proof = false;
    const char *pq_sheet = nullptr; ///< the PQ sheet's file, or null
};

/// The audio of a fileset written into the output directory ahead of its check, under temporary
/// names, so that the audio files are read once: the checksums of those read whole are taken on
/// the way, for the check. fileset_extract puts the files in place; destroyed before, it removes them.
struct extract_stage {
    extract_stage();
    ~extract_stage();
    ddp_files digests; ///< checksums of the audio files, for ddp_checksum_validate
    struct outputs;      ///< the files written ahead, what failed
    std::unique_ptr<outputs> out;
};

/// Writes the audio of the fileset in `dir` into `outdir` ahead of its check: only when the fileset
/// reads without error and `outdir` may take the files, else nothing (fileset_extract then does it
/// all and says why not). Quiet but for errors reading the audio.
void fileset_extract_stage(const char *dir, const char *outdir, const extract_options &options, extract_stage &stage);

/// Writes image.wav, image.cue and 01.wav ... NN.wav (00.wav for audio hidden before track 1)
/// into the existing directory `outdir` (with `options.flac` image.flac and NN.flac instead, and
/// with `options.proof` index.html as well), then the PQ sheet when `options.pq_sheet` is set; the audio
/// files written ahead in `stage`, when given, are put in place instead of written. Call it under
/// the output directory's lock. Every file is written under a temporary name first; only when all
/// are whole does the set replace the earlier one: the earlier image.cue is removed, the audio
/// files are renamed in, an earlier extraction's files the new set lacks (of either format, and
/// its proof page) are removed, and image.cue comes last. Refuses (nothing written) a fileset with
/// errors, or an output or PQ sheet that is a file of the fileset. 0 when everything was written,
/// its names in `written` when given; 1 after an error was reported.
int fileset_extract(const checked_fileset &c, const char *outdir, const extract_options &options,
                    extract_stage *stage = nullptr, extraction_record *written = nullptr);

/// Writes the PQ sheet of a verified fileset to `pq_sheet`, never over a file of the fileset or,
/// with `outdir`, of the extraction; refuses a fileset with errors. 0 when written or when
/// `pq_sheet` is null; 1 after an error was reported.
int fileset_write_pq_sheet(const checked_fileset &c, const char *pq_sheet, const char *outdir);

/// The paths of the fileset's files: DDPID, DDPMS, the files of the map, the checksum files and
/// the files they list, and every name korvel writes into a fileset.
std::vector<std::string> fileset_inputs(const checked_fileset &c);

/// The whole reading run of --check (without `outdir`) and --extract: the output directory
/// checked and locked, the fileset directory locked for reading (a fileset being written is
/// refused), the fileset verified, then the extraction and the PQ sheet; the JSON report comes
/// last, so that it tells every error. The exit status.
int fileset_read_run(const char *ddpdir, const char *outdir, bool json, const extract_options &options);
