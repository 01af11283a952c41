#include "pseudo_terminal.h"

#include <sys/sysmacros.h>

namespace {

// Since minors grew to 20 bits every Unix98 slave is 136:N; 137-143 were the
// slaves' further majors when minors had 8 bits.
constexpr unsigned int unix98_slave_major = 136;
constexpr unsigned int unix98_last_slave_major = 143;
constexpr unsigned int bsd_slave_major = 3;

}  // namespace

bool is_pseudo_terminal(dev_t device)
{
    const unsigned int number = major(device);
    return (number >= unix98_slave_major && number <= unix98_last_slave_major) || number == bsd_slave_major;
}

int pseudo_terminal_index(dev_t device)
{
    if (major(device) != unix98_slave_major || minor(device) > 0xfffff)
        return -1;
    return static_cast<int>(minor(device));
}
