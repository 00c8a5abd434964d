#include "container/slots.hpp"

#include <cstdio>

#include "container/program.hpp"
#include "container/run_state.hpp"

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
    std::size_t put = std::fwrite(buffer, 1, count, run.outfile);
    if (std::ferror(run.outfile)) fail_system("outfile write error");
    return put;
}

}  // namespace zelno
