/* A host program in C that links against the library by name
 * (-L<folder> -larduinodrv) as the header's users do, and calls it directly. */
#include <stdio.h>
#include <string.h>

#include "arduinodrv.h"

static int failures = 0;

static void expect_text(const char *what, const char *got, const char *expected)
{
    if (got == NULL || strcmp(got, expected) != 0) {
        printf("FAIL: %s gave [%s], expected [%s]\n", what, got == NULL ? "(null)" : got, expected);
        ++failures;
    }
}

static void expect_number(const char *what, double got, double expected)
{
    if (got != expected) {
        printf("FAIL: %s gave %g, expected %g\n", what, got, expected);
        ++failures;
    }
}

int main(void)
{
    const char *title = titre();
    printf("titre: [%s]\n", title == NULL ? "(null)" : title);
    expect_text("titre()", title, "Arduino en ");
    expect_text("stdtitre()", stdtitre(), "Arduino");
    expect_text("ctitre()", ctitre(), "Arduino");
    expect_text("cdetail()", cdetail(), "Arduino 2009, par Tervalique, le 23 f\xE9vrier 2011");
    expect_text("nea(0)", nea(0), "EA0");
    expect_text("cnsb(3)", cnsb(3), "SB3 br 13 (diode)");
    expect_text("stdneadouble(2.5)", stdneadouble(2.5), "EA3 (V)");
    expect_text("nsadouble(1e10)", nsadouble(1e10), "");
    /* Outputs work without a board: the values are kept for read-back. */
    expect_number("sb(1, 1)", sb(1, 1), 1);
    expect_number("crsb(1)", crsb(1), 1);
    expect_number("stdsa(2, 200)", stdsa(2, 200), 100);
    expect_number("rsa(2)", rsa(2), 200);
    csad(3, 1.25);
    expect_number("rsadouble(3.0)", rsadouble(3.0), 1.25);
    return failures == 0 ? 0 : 1;
}
