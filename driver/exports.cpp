// The calling variants: "double" forms round their arguments and call the
// plain function; "std" forms (stdcall) and "c" forms (cdecl) call their
// plain twin. Text results are handed over as received.
#include <cstdio>

#include "arduinodrv.h"
#include "posix/held_sigpipe.h"
#include "return_area.h"
#include "text_convert.h"

#define STD(result) result ARDUINODRV_STDCALL
#define CDECL(result) result ARDUINODRV_CDECL

namespace {
int channel_of(double channel) { return int_from_double(channel); }

// Writes a line to the host's standard output, which the library does not
// own: when its reader is gone the line is lost, and the SIGPIPE that the
// write raises is taken back before the host could see it.
void write_output_line(const char *line)
{
    without_sigpipe([line] {
        std::puts(line);
        return std::fflush(stdout);
    });
}
}  // namespace

STD(double) eadouble(double channel) noexcept { return ead(channel_of(channel)); }
STD(double) ebdouble(double channel) noexcept { return eb(channel_of(channel)); }
STD(const char *) neadouble(double channel) noexcept { return hand_over_text(nead(channel_of(channel))); }
STD(const char *) nebdouble(double channel) noexcept { return hand_over_text(neb(channel_of(channel))); }
STD(const char *) nsadouble(double channel) noexcept { return hand_over_text(nsad(channel_of(channel))); }
STD(const char *) nsbdouble(double channel) noexcept { return hand_over_text(nsb(channel_of(channel))); }
STD(double) rsadouble(double channel) noexcept { return rsad(channel_of(channel)); }
STD(double) rsbdouble(double channel) noexcept { return rsb(channel_of(channel)); }
STD(double) sadouble(double channel, double volts) noexcept { return sad(channel_of(channel), volts); }
STD(double) sbdouble(double channel, double value) noexcept
{
    return sb(channel_of(channel), int_from_double(value));
}

STD(int) stdea(int channel) noexcept { return ea(channel); }
STD(double) stdead(int channel) noexcept { return ead(channel); }
STD(double) stdeadouble(double channel) noexcept { return ead(channel_of(channel)); }
STD(int) stdeb(int channel) noexcept { return eb(channel); }
STD(double) stdebdouble(double channel) noexcept { return ebdouble(channel); }
STD(const char *) stdnea(int channel) noexcept { return hand_over_text(nea(channel)); }
STD(const char *) stdnead(int channel) noexcept { return hand_over_text(nead(channel)); }
STD(const char *) stdneadouble(double channel) noexcept { return hand_over_text(neadouble(channel)); }
STD(const char *) stdneb(int channel) noexcept { return hand_over_text(neb(channel)); }
STD(const char *) stdnebdouble(double channel) noexcept { return hand_over_text(nebdouble(channel)); }
STD(const char *) stdnsa(int channel) noexcept { return hand_over_text(nsa(channel)); }
STD(const char *) stdnsad(int channel) noexcept { return hand_over_text(nsad(channel)); }
STD(const char *) stdnsadouble(double channel) noexcept { return hand_over_text(nsadouble(channel)); }
STD(const char *) stdnsb(int channel) noexcept { return hand_over_text(nsb(channel)); }
STD(const char *) stdnsbdouble(double channel) noexcept { return hand_over_text(nsbdouble(channel)); }
STD(int) stdrsa(int channel) noexcept { return rsa(channel); }
STD(double) stdrsad(int channel) noexcept { return rsad(channel); }
STD(double) stdrsadouble(double channel) noexcept { return rsadouble(channel); }
STD(int) stdrsb(int channel) noexcept { return rsb(channel); }
STD(double) stdrsbdouble(double channel) noexcept { return rsbdouble(channel); }
STD(int) stdsa(int channel, int value) noexcept { return sa(channel, value); }
STD(double) stdsad(int channel, double volts) noexcept
{
    // The one line of the library on standard output, before anything goes
    // to the board.
    write_output_line("dans stdsad");
    return sad(channel, volts);
}
STD(double) stdsadouble(double channel, double volts) noexcept { return sadouble(channel, volts); }
STD(int) stdsb(int channel, int value) noexcept { return sb(channel, value); }
STD(double) stdsbdouble(double channel, double value) noexcept { return sbdouble(channel, value); }

CDECL(int) cea(int channel) noexcept { return ea(channel); }
CDECL(double) cead(int channel) noexcept { return ead(channel); }
CDECL(int) ceb(int channel) noexcept { return eb(channel); }
CDECL(const char *) cnea(int channel) noexcept { return hand_over_text(nea(channel)); }
CDECL(const char *) cnead(int channel) noexcept { return hand_over_text(nead(channel)); }
CDECL(const char *) cneb(int channel) noexcept { return hand_over_text(neb(channel)); }
CDECL(const char *) cnsa(int channel) noexcept { return hand_over_text(nsa(channel)); }
CDECL(const char *) cnsad(int channel) noexcept { return hand_over_text(nsad(channel)); }
CDECL(const char *) cnsb(int channel) noexcept { return hand_over_text(nsb(channel)); }
CDECL(int) crsa(int channel) noexcept { return rsa(channel); }
CDECL(double) crsad(int channel) noexcept { return rsad(channel); }
CDECL(int) crsb(int channel) noexcept { return rsb(channel); }
CDECL(int) csa(int channel, int value) noexcept { return sa(channel, value); }
CDECL(double) csad(int channel, double volts) noexcept { return sad(channel, volts); }
CDECL(int) csb(int channel, int value) noexcept { return sb(channel, value); }
