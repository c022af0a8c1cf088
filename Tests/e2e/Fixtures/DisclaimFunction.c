/* The system function a relaunch looks up by name, for tests on a system that has none:
   accepts the attribute as the original does, refusing any value but 1. */
#include <spawn.h>

int responsibility_spawnattrs_setdisclaim(posix_spawnattr_t* attributes, int disclaim) {
    (void)attributes;
    return disclaim == 1 ? 0 : 22;
}
