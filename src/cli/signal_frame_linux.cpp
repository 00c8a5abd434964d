#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ucontext.h>

#include "cli/signal_frame.hpp"
#include "crypto/wipe.hpp"

namespace zelno {
namespace {

// The kernel's note at the end of an FXSAVE area (bytes 464 on) when an
// XSAVE area follows: its full size.
struct ExtendedState {
    std::uint32_t magic;
    std::uint32_t size;
};
constexpr std::uint32_t extended_state_magic = 0x46505853;
constexpr std::size_t fxsave_size = 512;
constexpr std::size_t fxsave_note = 464;

// How far past the context the kernel's frame keeps what the context points
// to. A context copied elsewhere (a sanitizer's runtime defers handlers and
// passes a copy) points into a frame that may be gone: that is left alone.
constexpr std::uintptr_t frame_reach = 4096;

bool in_frame(const void* context, const void* part, std::uintptr_t reach = frame_reach) {
    auto from = reinterpret_cast<std::uintptr_t>(context);
    auto at = reinterpret_cast<std::uintptr_t>(part);
    return at > from && at - from < reach;
}

// The floating-point and vector state at `area`, whose FXSAVE part begins
// `legacy` bytes in and whose note counts from `area`.
[[maybe_unused]] void clear_x86_state(const void* context, unsigned char* area, std::size_t legacy) {
    if (!in_frame(context, area)) return;
    ExtendedState note;
    std::memcpy(&note, area + legacy + fxsave_note, sizeof note);
    std::size_t size = legacy + fxsave_size;
    if (note.magic == extended_state_magic && note.size > size) size = note.size;
    wipe(area, size);
}

// The records of the frame's reserved area (FPSIMD, SVE, ...) and the
// extra space one of them may point to.
struct Record {
    std::uint32_t magic;
    std::uint32_t size;
};
constexpr std::uint32_t extra_magic = 0x45585401;

[[maybe_unused]] void clear_arm_records(const void* context, unsigned char* reserved, std::size_t length) {
    void* extra = nullptr;
    std::uint32_t extra_size = 0;
    for (std::size_t at = 0; at + sizeof(Record) <= length;) {
        Record record;
        std::memcpy(&record, reserved + at, sizeof record);
        if (record.magic == 0 || record.size < sizeof record || record.size > length - at) break;
        if (record.magic == extra_magic && record.size >= sizeof record + 12) {
            std::uint64_t address;
            std::memcpy(&address, reserved + at + sizeof record, sizeof address);
            std::memcpy(&extra_size, reserved + at + sizeof record + sizeof address, sizeof extra_size);
            extra = reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
        }
        at += record.size;
    }
    wipe(reserved, length);
    // The extra space follows the reserved area.
    if (in_frame(context, extra, sizeof(ucontext_t) + frame_reach) && extra_size < frame_reach * 16) {
        wipe(extra, extra_size);
    }
}

}  // namespace

void clear_saved_registers(void* context) {
    auto* frame = static_cast<ucontext_t*>(context);
    if (frame == nullptr) return;
    mcontext_t& saved = frame->uc_mcontext;
#if defined(__x86_64__)
    clear_x86_state(frame, reinterpret_cast<unsigned char*>(saved.fpregs), 0);
    wipe(saved.gregs, sizeof saved.gregs);
#elif defined(__i386__)
    // An FSAVE image (112 bytes) comes first, then the FXSAVE area.
    clear_x86_state(frame, reinterpret_cast<unsigned char*>(saved.fpregs), 112);
    wipe(saved.gregs, sizeof saved.gregs);
#elif defined(__aarch64__)
    clear_arm_records(frame, saved.__reserved, sizeof saved.__reserved);
    wipe(saved.regs, sizeof saved.regs);
#else
    wipe(&saved, sizeof saved);
#endif
}

}  // namespace zelno
