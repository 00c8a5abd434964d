// Turning one input file into a container or a self-decrypting executable.
#pragma once

namespace zelno {

// Returns after "encrypted."; every failure ends the process.
void run_encrypt();

}  // namespace zelno
