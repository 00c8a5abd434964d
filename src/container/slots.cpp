#include "container/slots.hpp"

#include <cerrno>
#include <cstdio>

#include "container/program.hpp"
#include "container/run_state.hpp"
#include "container/system_error.hpp"

namespace zelno {

void close_slots() {
    for (std::FILE** slot : {&run.infile, &run.outfile, &run.selffile}) {
        if (*slot != nullptr) {
            std::fclose(*slot);
            *slot = nullptr;
        }
    }
}

std::size_t read_infile(void* buffer, std::size_t count) {
    std::size_t got = std::fread(buffer, 1, count, run.infile);
    if (std::ferror(run.infile)) fail_system("infile read error");
    return got;
}

std::size_t write_outfile(const void* buffer, std::size_t count) {
    clear_stream_error();
    std::size_t put = std::fwrite(buffer, 1, count, run.outfile);
    if (std::ferror(run.outfile)) fail_outfile_write();
    return put;
}

void xflush_outfile() {
    clear_stream_error();
    if (std::fflush(run.outfile) != 0) fail_outfile_write();
}

void fail_outfile_write() {
    errno = stream_error();
    fail_system("outfile write error");
}

}  // namespace zelno
