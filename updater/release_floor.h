// The highest seq and issued a signed router has verified, kept in the state
// directory across reboots: a replayed older control file is refused, and a
// clock behind the newest issued is not trusted.  Like the version floor,
// they fail closed: a floor that cannot be read or kept refuses the update.
#pragma once

#include "release/control_record.h"

namespace kestrel {

struct release_floors {
    unsigned long long seq;
    unsigned long long issued;
};

// False (and logged) when a floor is there but cannot be trusted.
bool read_release_floors(release_floors& floors);
// Raises both floors to rec's values where higher; false (and logged) when
// they cannot be kept.
bool raise_release_floors(const release_floors& floors, const control_record& rec);

}  // namespace kestrel
