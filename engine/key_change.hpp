// Changing the key or password of an encrypted file. The data key stays the
// same (no page is rewritten); only the key blocks of the commit records
// change, and none of the old ones may survive in any slot.
#pragma once

#include <memory>

#include "crypto/credential.hpp"
#include "error.hpp"
#include "instance.hpp"

namespace deziro {

struct ResolvedSchema;

namespace keys {

// How many commits after the first may still be needed to push the old key
// block out of every slot.
inline constexpr int kMaxExtraKeyCommits = 6;

// Wraps the file's data key under `secret` (a key, or Argon2id of a password
// with the instance's parameters) and commits it, then commits again while
// any slot still holds another key block. INVALID_ARGUMENT on a plain file
// or for an empty password; INTERNAL "the old key block outlived the commits
// meant to replace it" when a slot still holds it after the last commit;
// otherwise the errors of any writer (BUSY, SYNC_FAILED, IO). An error after
// the first commit leaves the new secret in effect and the old one opening
// the file only until later commits overwrite its slots: the caller should
// call again until it returns.
Status set_secret(const std::shared_ptr<Instance>& instance,
                  std::shared_ptr<const ResolvedSchema> schema, const Credential& secret);

}  // namespace keys
}  // namespace deziro
