// A written DDP fileset packed as one ZIP archive for the plant's upload: one
// folder named after the fileset directory, the files in the fileset's order,
// stored (PCM does not deflate usefully, and any tool can check stored entries),
// each with its file's modification time. The archive is written under a
// temporary name and renamed into place only when whole.
#pragma once

/// Writes the complete fileset in `ddpdir` (its checksum files written) as the archive `path`:
/// the files CHECKSUM.MD5 lists, in its order, IMAGE.cue when there is one, then the checksum files. 0 when the archive is
/// in place; 1 after an error was reported, and no archive written.
int fileset_zip_write(const char *path, const char *ddpdir);
