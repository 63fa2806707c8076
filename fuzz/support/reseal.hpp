// Makes a plain file's checks hold again after its bytes were changed, so
// that a fuzzer's mutations reach the readers behind the checksums: what
// anyone can do to a plain file with a hex editor and XXH3.
#pragma once

#include <cstdint>
#include <vector>

namespace deziro::fuzz {

// Recomputes, as far as the pages parse, every page's checksum, the stamps
// that branches, catalog entries and commit records keep of their children,
// the checks of overflow runs, and the checks of the commit records and the
// static headers. Encrypted files and files too short for a head are left
// as they are.
void reseal_plain_file(std::vector<std::uint8_t>& image);

}  // namespace deziro::fuzz
