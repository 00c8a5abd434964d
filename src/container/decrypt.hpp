// Turning one container back into the file it was made from.
#pragma once

namespace zelno {

// Returns after "decrypted."; every failure ends the process.
void run_decrypt();

}  // namespace zelno
