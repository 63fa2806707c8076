#include "storage/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "text_format.hpp"

namespace deziro {

Status fill_random(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::internal(
          format_text("the system gave no random bytes: {}", std::strerror(errno))));
    }
    done += static_cast<std::size_t>(n);
  }
  return ok();
}

}  // namespace deziro
