// The interpreter built as a classic sketch: asked for the extensions, it
// answers nothing and does nothing, and the driver's commands work as ever.
#include "board_protocol.h"
#include "recording_board.h"

#include <gtest/gtest.h>

TEST(classic_build, answers_nothing_new_even_when_asked_for_the_extensions)
{
    recording_board board;
    command_interpreter interpreter(board, 6, sketch_kind::extended);
    expect_classic(board, interpreter);
}
