#include <stdio.h>
#include <arduinoboard.h>

int main(int argc, char **argv)
{
    ab_board *board;
    ab_reading a0;
    /* The device named on the command line, else the one likely board. */
    if (ab_open(argc > 1 ? argv[1] : NULL, NULL, &board) != AB_OK) {
        fprintf(stderr, "no board: %s\n", ab_last_error());
        return 1;
    }
    if (ab_read_analog(board, 0, &a0) == AB_OK)
        printf("A0 = %.3f V (raw %d)\n", a0.volts, (int)a0.raw);
    else
        fprintf(stderr, "A0: %s\n", ab_last_error());
    if (ab_write_digital(board, 3, 1) != AB_OK)    /* digital output 3 (pin 13) on */
        fprintf(stderr, "D13: %s\n", ab_last_error());
    ab_close(board);
    return 0;
}
