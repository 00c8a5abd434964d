#include "container/slots.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "container/output_platform.hpp"
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

std::size_t read_input(void* buffer, std::size_t count) {
    ReadAhead& ahead = run.input_ahead;
    const std::size_t early = std::min(count, ahead.end - ahead.at);
    std::memcpy(buffer, ahead.bytes.data() + ahead.at, early);
    ahead.at += early;
    if (early == count) return count;
    return early + std::fread(static_cast<char*>(buffer) + early, 1, count - early, run.infile);
}

std::size_t read_infile(void* buffer, std::size_t count) {
    std::size_t got = read_input(buffer, count);
    if (std::ferror(run.infile)) fail_system("infile read error");
    return got;
}

std::uint64_t xinput_position() {
    std::uint64_t at = 0;
    if (!stream_position(run.infile, at)) fail_system("infile seek error");
    return at - (run.input_ahead.end - run.input_ahead.at);
}

void xseek_input(std::uint64_t position) {
    run.input_ahead.at = run.input_ahead.end = 0;
    if (!stream_seek(run.infile, position)) fail_system("infile seek error");
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
