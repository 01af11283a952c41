#include <stdio.h>
#include <arduinodrv.h>

int main(void)
{
    printf("%s\n", stdtitre());           /* "Arduino" */
    printf("A0 = %.3f V\n", ead(0));      /* analog input 0 in volts */
    sb(3, 1);                             /* digital output 3 (pin 13) on */
    sad(0, 2.5);                          /* PWM output 0 (pin 3) at 2.5 V */
    return 0;
}
