#include "pq_sheet.h"

#include <cerrno>
#include <cstring>

#include "log.h"
#include "pqlist.h"
#include "safe_output.h"

int pq_sheet_write(const PQlist &pq, const char *path, const std::vector<std::string> &inputs)
{
    for (const std::string &input : inputs) {
        if (output_same_file(input.c_str(), path)) {
            log_err("%s is %s, a file this run reads: the PQ sheet is never written over an input\n", path,
                    input.c_str());
            return 1;
        }
    }
    log_msg(1, "Writing PQ sheet %s... ", path);
    staged_file out(path);
    if (out) {
        pq_print_html(pq, out.get());
        if (out.commit()) {
            log_msg(1, "done.\n");
            return 0;
        }
    }
    log_msg(1, "failed.\n");
    log_err("%s: %s\n", path, std::strerror(errno));
    return 1;
}
