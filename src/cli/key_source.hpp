// Keys that come from a file or the environment instead of a word or the
// console. The shared reading is written once (key_source.cpp); each system
// gives its descriptor primitives (key_source_<system>.cpp).
#pragma once

namespace zelno {

// Where the run's key comes from.
enum class KeyOrigin { Word, File, Environment };

// The first line of the file (`-`: standard input), without its line end (LF
// or CR LF), into run.key_buffer; its first KEY_MAX_LEN bytes count. Read a
// byte at a time with the system's own read, so no stream buffer keeps it.
void read_key_file(const char* name);

// The value of the environment variable into run.key_buffer, its first
// KEY_MAX_LEN bytes.
void read_key_variable(const char* name);

// A key given as text (a word or a variable's value): its first KEY_MAX_LEN
// bytes into run.key_buffer, which becomes the run's key.
void keep_key(const char* text);

// The primitives: a descriptor of the file for reading (-1 and errno when it
// cannot be opened), of standard input, one byte (1, 0 at the end, -1 and
// errno on an error), and the close.
int key_file_open(const char* name);
int key_file_standard_input();
int key_file_read_byte(int file, char* byte);
void key_file_close(int file);

}  // namespace zelno
