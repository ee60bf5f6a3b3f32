// No rollback across reboots: the highest version a signed run installed is
// kept in persistent storage (build constant state_dir), since the record
// under /tmp is gone after a reboot.
#pragma once

namespace kestrel {

// False (and logged) when version is older than the highest version a
// signed run installed here; the same version passes, as after a reboot.
bool not_older_than_installed(const char* version);

// Keeps version as the highest one, when it is higher than the one kept (so
// the flash is written once per update).
void raise_highest_installed(const char* version);

}  // namespace kestrel
