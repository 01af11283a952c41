#include "pty_pair.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

#include "pty_link.h"

pty_pair::pty_pair()
{
    pty_ends ends;
    if (!open_pty(ends))
        throw std::runtime_error(std::string("no pseudo-terminal: ") + std::strerror(errno));
    master = ends.master;
    slave = ends.slave;
    path = ends.slave_path;
}

pty_pair::~pty_pair()
{
    hang_up();
    close(slave);
}

void pty_pair::hang_up()
{
    if (master >= 0)
        close(master);
    master = -1;
}
