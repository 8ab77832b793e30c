#include "fileset_batch.h"

#include <cstdio>
#include <string>
#include <vector>

#include "fileset_check.h"
#include "fileset_zip.h"
#include "log.h"
#include "safe_output.h"

int fileset_check_batch(const std::vector<const char *> &dirs, bool json)
{
    std::size_t with_errors = 0;
    for (const char *dir : dirs) {
        // A fileset that a korvel run is writing is not read (the writer's lock, taken shared);
        // an archive needs none, korvel renames one into place whole.
        output_lock lock;
        std::vector<std::string> refused;
        log_collect_errors(&refused);
        const bool locked = !fileset_is_archive(dir) && lock.acquire_shared(dir) == 1;
        log_collect_errors(nullptr);
        if (locked && json)
            fileset_print_refused(dir, refused);
        if (locked || fileset_check_in_batch(dir, json).fileset.errors() > 0)
            ++with_errors;
        // A report ends before the next one's warnings and errors start, even in one pipe.
        if (!json && log_shown(1))
            std::printf("\n");
        std::fflush(stdout);
    }
    if (!json)
        std::printf("%zu filesets: %zu OK, %zu with errors\n", dirs.size(), dirs.size() - with_errors, with_errors);
    return with_errors > 0 ? 1 : 0;
}
