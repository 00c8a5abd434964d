#include "container/output_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "container/input_file.hpp"
#include "container/names.hpp"
#include "container/output_platform.hpp"
#include "container/program.hpp"
#include "container/run_state.hpp"
#include "container/slots.hpp"
#include "container/system_error.hpp"

namespace zelno {
namespace {

constexpr const char temp_pattern[] = ".zelno-XXXXXX";
constexpr std::size_t temp_suffix = 6;  // the X's

[[noreturn]] void refuse(int error, const char* message) {
    errno = error;
    fail_system(message);
}

// "<directory of final_name>.zelno-XXXXXX" into run.output.temp_name.
void make_temp_pattern(const char* final_name) {
    auto dir_len = static_cast<std::size_t>(base_name_of(final_name) - final_name);
    if (dir_len + sizeof temp_pattern > run.output.temp_name.size()) refuse(ENAMETOOLONG, "outfile open error");
    std::memcpy(run.output.temp_name.data(), final_name, dir_len);
    std::memcpy(run.output.temp_name.data() + dir_len, temp_pattern, sizeof temp_pattern);
}

void attach(FileHandle file) {
    run.outfile = stream_of(file);
    if (run.outfile == nullptr) fail_system("outfile open error");
    std::setvbuf(run.outfile, run.outfile_buffer.data(), _IOFBF, run.outfile_buffer.size());
}

// A device, a pipe or a descriptor: written where it stands, from where it
// stands. A container's header is sought back to; where the output cannot
// seek (a pipe, a FIFO, a socket), the container is finished in a working
// file of its own and copied there whole at publishing, so that a reader
// never gets part of one. A terminal takes no container.
void attach_in_place(FileHandle file, bool rewrites_header) {
    // Writing there would overwrite what is still to be read.
    if (run.infile != nullptr && same_file(file, handle_of(run.infile))) {
        close_file(file);
        refuse(error_output_is_input, "outfile open error");
    }
    run.output.stdout_is_output = is_standard_stream(file, 1);
    run.output.stderr_is_output = is_standard_stream(file, 2);
    run.output.direct = true;
    if (!rewrites_header) {
        attach(file);
        return;
    }
    if (is_terminal(file)) {
        close_file(file);
        fail_refused("outfile is a terminal");
    }
    if (position_of(file, run.output.start)) {
        attach(file);
        return;
    }
    run.output.copy_to = file;
    run.output.start = 0;
    FileHandle spool = create_spool_file();
    if (spool == no_file) fail_system("outfile open error");
    attach(spool);
}

// The finished container, from its working file into the pipe it is for.
void xcopy_finished_output() {
    FileHandle spool = handle_of(run.outfile);
    std::FILE* target = stream_of(run.output.copy_to);
    run.output.copy_to = no_file;
    if (target == nullptr) fail_system("outfile write error");
    std::setvbuf(target, nullptr, _IONBF, 0);
    auto& buffer = run.data_buffers[2];
    note_data_in_use(buffer.size());
    for (std::uint64_t at = 0; at < run.output.end;) {
        std::size_t got = 0;
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(run.output.end - at, buffer.size()));
        if (!read_file(spool, at, std::span(buffer).first(want), got)) fail_system("outfile write error");
        if (got == 0) refuse(EIO, "outfile write error");
        clear_stream_error();
        if (std::fwrite(buffer.data(), 1, got, target) != got) fail_outfile_write();
        at += got;
    }
    std::fclose(target);
}

// The working file, in the directory of the final name: without a name
// where the file system allows, so that a run killed outright leaves
// nothing; elsewhere created exclusively under a fresh temporary name.
void create_working_file(const char* final_name) {
    make_temp_pattern(final_name);
    FileHandle file = create_unnamed_file(run.output.temp_name.data());
    if (file != no_file) {
        run.output.vanishes = true;
        attach(file);
        return;
    }
    if (errno != EOPNOTSUPP) fail_system("outfile open error");
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        vary_temp_name(attempt);
        // The signal handler must never see a created file without its
        // flag, nor the flag without the file.
        hold_terminating_signals();
        bool vanishes = false;
        file = create_named_file(run.output.temp_name.data(), vanishes);
        int error = errno;
        if (file != no_file) {
            run.output.created = 1;
            run.output.vanishes = vanishes;
        }
        release_terminating_signals();
        if (file != no_file) {
            attach(file);
            return;
        }
        if (error != EEXIST) {
            run.output.temp_name[0] = '\0';
            refuse(error, "outfile open error");
        }
    }
    run.output.temp_name[0] = '\0';
    refuse(EEXIST, "outfile open error");
}

}  // namespace

void vary_temp_name(unsigned attempt) {
    // Upper case and digits: some file systems ignore case.
    constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::array<std::uint8_t, temp_suffix> bytes{};
    random_bytes(bytes, attempt);
    char* suffix = run.output.temp_name.data() + std::strlen(run.output.temp_name.data()) - temp_suffix;
    for (std::size_t i = 0; i < temp_suffix; ++i) suffix[i] = letters[bytes[i] % (sizeof letters - 1)];
}

void xopen_output(const char* final_name, bool rewrites_header) {
    if (final_name == nullptr) {
        run.output.final_path[0] = '\0';
        create_working_file("");
        return;
    }
    FoundOutput& found = run.output.found;
    if (names_standard_stream(final_name)) {
        if (!find_standard_output(found)) fail_system("outfile open error");
        FileHandle file = open_in_place(final_name, found);
        if (file == no_file) fail_system("outfile open error");
        attach_in_place(file, rewrites_header);
        run.output.stdout_is_output = true;
        return;
    }
    std::size_t length = std::strlen(final_name);
    if (length == 0) refuse(ENOENT, "outfile open error");
    if (length >= run.output.final_path.size()) refuse(ENAMETOOLONG, "outfile open error");
    std::memcpy(run.output.final_path.data(), final_name, length + 1);

    if (!find_output(run.output.final_path, found)) fail_system("outfile open error");
    switch (found.kind) {
        case FoundOutput::Kind::InPlace:
        case FoundOutput::Kind::Own: {
            // Opening a FIFO waits for a reader.
            FileHandle file = open_in_place(run.output.final_path.data(), found);
            if (file == no_file) fail_system("outfile open error");
            attach_in_place(file, rewrites_header);
            return;
        }
        case FoundOutput::Kind::Existing:
        case FoundOutput::Kind::New: create_working_file(run.output.final_path.data()); return;
    }
}

bool try_start_writeback() {
    constexpr std::uint64_t step = 8 << 20;
    if (run.output.direct) return true;
    std::uint64_t written = 0;
    if (!stream_position(run.outfile, written) || written < run.output.writeback_from + step) return true;
    if (std::fflush(run.outfile) != 0) return false;
    start_writeback_range(handle_of(run.outfile), run.output.writeback_from, written);
    run.output.writeback_from = written;
    return true;
}

void xstart_writeback() {
    clear_stream_error();
    if (!try_start_writeback()) fail_outfile_write();
}

void drop_working_file() {
    if (run.output.created && run.output.temp_name[0] != '\0') remove_file(run.output.temp_name.data());
    run.output.created = 0;
}

void xseek_output(std::uint64_t offset) {
    xflush_outfile();
    std::uint64_t at = 0;
    if (!stream_position(run.outfile, at)) fail_system("outfile seek error");
    run.output.end = std::max(run.output.end, at);
    if (!stream_seek(run.outfile, run.output.start + offset)) fail_system("outfile seek error");
}

void xpublish_output(const PublishOptions& options) {
    xflush_outfile();
    if (run.output.direct) {
        if (run.output.copy_to != no_file) {
            // Once the copy begins, it is finished: a reader gets the whole
            // container or, where a write fails, a short one it refuses.
            hold_terminating_signals();
            xcopy_finished_output();
        } else if (run.output.end != 0 && !stream_seek(run.outfile, run.output.end)) {
            // A descriptor is left at the end of what was written, as any
            // writer leaves it, so that what the caller writes next follows.
            fail_system("outfile seek error");
        }
        close_slots();
        return;
    }
    // A file restored under the name its sender chose is a new file: what is
    // there passes the checks of a typed name, and it gets the mode of a
    // plain create, never the bits of a file it replaces.
    const bool stored = options.stored_name != nullptr;
    const char* final_name = stored ? options.stored_name : run.output.final_path.data();
    bool taken = false;
    if (stored && !stored_name_usable(final_name, taken)) fail_system("outfile name error");
    const bool replaces = !stored && run.output.found.kind == FoundOutput::Kind::Existing;
    FileHandle file = handle_of(run.outfile);
    if (!set_permissions(file, options.executable, replaces ? &run.output.found : nullptr)) {
        fail_system("outfile mode error");
    }
    if (options.mtime && !set_times(file, *options.mtime)) fail_system("outfile time error");
    if (!sync_file(file)) fail_system("outfile write error");

    hold_terminating_signals();  // to the end of the run; a failure lets them through
    // Where nothing was there, an unnamed working file takes the name at once.
    const bool is_new = stored ? !taken : run.output.found.kind == FoundOutput::Kind::New;
    bool named = false;
    if (run.output.vanishes && !keep_working_file(file, is_new ? final_name : nullptr, named)) {
        fail_system("outfile name error");
    }
    close_slots();
    if (!named && !give_final_name(run.output.temp_name.data(), final_name, replaces)) {
        fail_system("outfile name error");
    }
    run.output.created = 0;
    run.output.temp_name[0] = '\0';
    sync_directory_of(final_name);
}

}  // namespace zelno
