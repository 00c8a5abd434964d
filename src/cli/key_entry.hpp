// Typing the key at the console: no echo, no placeholder, the prompt blanked
// when the entry ends.
#pragma once

namespace zelno {

// Reads at most size - 1 characters into the zero-filled buffer: Enter or
// line feed ends the entry. Characters beyond those are read but neither
// stored nor shown, until Enter or a quiet moment, so a longer key counts
// with its first size - 1 characters. Returns the count stored, or -1 (buffer
// zeroed, pending input dropped) on Ctrl-C, also in the dropped part.
// Without a console the run ends with "console open error".
int read_key(const char* prompt, char* buffer, int size);

// The key typed twice until both entries agree; Ctrl-C ends the run with
// "aborted.". Both buffers hold KEY_MAX_LEN + 1 bytes. What was typed beyond
// the accepted entries is dropped.
void read_new_key(char* key, char* confirmation);

}  // namespace zelno
