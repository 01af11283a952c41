// The terminal-mode guard, on a pseudo-terminal as standard input. Each case
// runs in a child, which may change its own descriptor 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include "child.h"
#include "pty_pair.h"
#include "posix/console.h"

namespace {

void no_echo(termios &settings) { settings.c_lflag &= ~static_cast<tcflag_t>(ECHO); }

tcflag_t local_flags()
{
    termios now{};
    EXPECT_EQ(tcgetattr(STDIN_FILENO, &now), 0);
    return now.c_lflag;
}

TEST(TerminalMode, EntersWhenAskedAndPutsBackWhatItFoundOnce)
{
    const child_result child = run_in_child([] {
        pty_pair console;
        ASSERT_EQ(dup2(console.slave, STDIN_FILENO), STDIN_FILENO);
        ASSERT_NE(local_flags() & ECHO, 0u);
        {
            terminal_mode mode(no_echo);
            EXPECT_TRUE(mode.is_terminal());
            EXPECT_NE(local_flags() & ECHO, 0u) << "entered before it was asked";
            EXPECT_TRUE(mode.enter());
            EXPECT_EQ(local_flags() & ECHO, 0u);
            mode.leave();
            EXPECT_NE(local_flags() & ECHO, 0u);

            // Left already: a second leave must not undo what came since.
            termios other{};
            tcgetattr(STDIN_FILENO, &other);
            other.c_lflag &= ~static_cast<tcflag_t>(ICANON);
            ASSERT_EQ(tcsetattr(STDIN_FILENO, TCSANOW, &other), 0);
            mode.leave();
            EXPECT_EQ(local_flags() & ICANON, 0u);

            // The mode is a change of the settings found, not of those now.
            EXPECT_TRUE(mode.enter());
            EXPECT_EQ(local_flags() & (ECHO | ICANON), static_cast<tcflag_t>(ICANON));
        }
        EXPECT_EQ(local_flags() & (ECHO | ICANON), static_cast<tcflag_t>(ECHO | ICANON)) << "not put back at the end";
    });
    EXPECT_EQ(child.exit_code, 0);
}

TEST(TerminalMode, DoesNothingWhenStandardInputIsNoTerminal)
{
    const child_result child = run_in_child([] {
        const int null = open("/dev/null", O_RDONLY);
        ASSERT_EQ(dup2(null, STDIN_FILENO), STDIN_FILENO);
        terminal_mode mode([](termios &) { ADD_FAILURE() << "changed settings it never read"; });
        EXPECT_FALSE(mode.is_terminal());
        EXPECT_FALSE(mode.enter());
        mode.leave();
    });
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
