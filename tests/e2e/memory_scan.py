"""Finding bytes in the writable memory of a process: from outside through
/proc/PID/mem, or inside gdb (sourced there) through the stopped inferior,
where the registers a signal frame saved are looked at as well.
Writable mappings are all a copy of a secret can live in; mappings larger than
LARGEST (a sanitizer's shadow memory) are left out."""

import re

LARGEST = 64 << 20


def writable_mappings(pid):
    with open("/proc/%d/maps" % pid) as maps:
        for line in maps:
            fields = line.split()
            low, high = (int(x, 16) for x in fields[0].split("-"))
            if "w" in fields[1] and high - low <= LARGEST:
                yield low, high, line.strip()


def find_in_memory(pid, needle, read):
    """Places (address, mapping) where `needle` occurs; read(low, size) gives
    the bytes of a range or None when it cannot be read."""
    found = []
    for low, high, mapping in writable_mappings(pid):
        data = read(low, high - low)
        if data is None:
            continue
        for m in re.finditer(re.escape(needle), data):
            found.append((hex(low + m.start()), mapping))
    return found


def find_in_process(pid, needle):
    with open("/proc/%d/mem" % pid, "rb", buffering=0) as mem:
        def read(low, size):
            try:
                mem.seek(low)
                return mem.read(size)
            except OSError:
                return None
        return find_in_memory(pid, needle, read)


try:
    import gdb  # only inside gdb

    def gdb_report(label, needle_hex):
        """Prints one line per find in the stopped inferior, then a last line."""
        inferior = gdb.selected_inferior()

        def read(low, size):
            try:
                return bytes(inferior.read_memory(low, size))
            except gdb.MemoryError:
                return None
        for address, mapping in find_in_memory(inferior.pid, bytes.fromhex(needle_hex), read):
            print("memory-scan: %s found at %s in %s" % (label, address, mapping))
        print("memory-scan: %s done" % label)

    def gdb_saved_registers():
        """Prints where the context a signal interrupted would resume and
        whether its saved FXSAVE area (x87 and SSE registers) is all zeros,
        from the signal frame of the stopped thread (x86)."""
        frame = gdb.newest_frame()
        while frame.type() != gdb.SIGTRAMP_FRAME:
            frame = frame.older()
        inferior = gdb.selected_inferior()
        sp = int(frame.read_register("sp"))
        if frame.architecture().name() == "i386":  # the frame points to its ucontext; FSAVE comes first
            context = int.from_bytes(bytes(inferior.read_memory(sp + 8, 4)), "little")
            at, size, legacy = context + 96, 4, 112
        else:
            at, size, legacy = sp + 224, 8, 0
        state = int.from_bytes(bytes(inferior.read_memory(at, size)), "little") + legacy
        cleared = not any(bytes(inferior.read_memory(state, 512)))
        print("saved-registers: pc %#x, vector area %s" % (frame.older().pc(), "zero" if cleared else "kept"))
except ImportError:
    pass
