// A DDP fileset delivered as a ZIP archive, read in place: the fileset's files
// at the archive's root or in one folder, each read as a stream straight from
// the archive (stored or deflated, ZIP64 too), its CRC-32 checked on the way.
// Nothing is unpacked to disk. What lies beside the fileset (a __MACOSX folder,
// a PDF of the PQ sheet) is ignored with a warning; an archive that could
// place a file outside its folder, holds links or two filesets, is encrypted
// or damaged is refused as a whole.
#pragma once

#include <string>
#include <vector>

#include "fileset_reader.h"

/// true when `path` is a regular file that is a ZIP archive: it begins with a ZIP signature,
/// or it is named *.zip (so that a damaged one is read, and refused, as an archive).
bool fileset_is_archive(const char *path);

/// Lists the fileset in the ZIP archive `path` into `src`: its entries, the archive kept open
/// for reading them through fileset_open. false with `why` when the archive is refused.
bool fileset_list_zip(const char *path, fileset_source &src, std::string &why);

/// The same for an archive held in memory, named `name` in the report (for the fuzzer).
bool fileset_list_zip_bytes(std::string bytes, const char *name, fileset_source &src, std::string &why);

/// Lists `path`, a fileset directory or a ZIP archive of one, into `src`. false with `why`.
bool fileset_list_path(const char *path, fileset_source &src, std::string &why);

/// The warnings of an archive's listing: what lies beside the fileset and is ignored. None for a directory.
std::vector<fileset_issue> fileset_zip_notes(const fileset_source &src);

/// The entries of an archive found damaged while they were read (a CRC-32 that does not match
/// the bytes, a deflated stream that does not inflate), one error each. None for a directory.
std::vector<fileset_issue> fileset_zip_damage(const fileset_source &src);
