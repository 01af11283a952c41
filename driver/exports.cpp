// The calling forms of each plain function, made from the build's table of
// the header's declarations (cmake/export_table.cmake): "std" forms
// (stdcall) and "c" forms (cdecl) call their plain function with the same
// arguments; "double" forms round their integer arguments first. Text
// results are handed over as received. A few forms do more than that and
// are written out: stdsad below, the titles' forms beside the titles
// (labels.cpp).
#include <cstdio>

#include "arduinodrv.h"
#include "posix/held_sigpipe.h"
#include "return_area.h"
#include "text_convert.h"

namespace {
int channel_of(double channel) { return int_from_double(channel); }

int handed(int value) { return value; }
double handed(double value) { return value; }
const char *handed(const char *text) { return hand_over_text(text); }

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

double ARDUINODRV_STDCALL stdsad(int channel, double volts) noexcept
{
    // The one line of the library on standard output, before anything goes
    // to the board.
    write_output_line("dans stdsad");
    return sad(channel, volts);
}

// The forms written out (here and in labels.cpp): each name expands to a
// comma, which FORM_MAKER below sees. Listing one that is written nowhere
// fails the link (--no-undefined-version); writing one not listed here is
// a second definition.
#define OWN_FORM_stdsad ,
#define OWN_FORM_stdtitre ,
#define OWN_FORM_stddetail ,
#define OWN_FORM_ctitre ,
#define OWN_FORM_cdetail ,

// make_form for a form not written out, make_nothing for one that is.
#define SECOND_OF(first, second, ...) second
#define SECOND(...) SECOND_OF(__VA_ARGS__)
#define FORM_MAKER(name) SECOND(OWN_FORM_##name make_nothing, make_form, )
#define MAKER_plain(name) make_nothing  // defined with its requests or labels
#define MAKER_form(name) FORM_MAKER(name)
#define APPLY(maker, arguments) maker arguments

#define make_nothing(...)
#define make_form(name, conv, result, sig, plain) \
    RESULT_##result CONVENTION_##conv name(PARAMETERS_##sig) noexcept { return handed(plain(ARGUMENTS_##sig)); }

#define RESULT_int32 int
#define RESULT_real double
#define RESULT_text const char *
#define CONVENTION_STD ARDUINODRV_STDCALL
#define CONVENTION_C ARDUINODRV_CDECL
#define PARAMETERS_none void
#define PARAMETERS_channel int channel
#define PARAMETERS_channel_real double channel
#define PARAMETERS_channel_value int channel, int value
#define PARAMETERS_channel_volts int channel, double volts
#define PARAMETERS_real_volts double channel, double volts
#define PARAMETERS_real_value double channel, double value
// The plain function's arguments: a double form's channel (and digital
// value) rounded, volts as they are.
#define ARGUMENTS_none
#define ARGUMENTS_channel channel
#define ARGUMENTS_channel_real channel_of(channel)
#define ARGUMENTS_channel_value channel, value
#define ARGUMENTS_channel_volts channel, volts
#define ARGUMENTS_real_volts channel_of(channel), volts
#define ARGUMENTS_real_value channel_of(channel), int_from_double(value)

#define ARDUINODRV_EXPORT(name, conv, result, sig, plain, kind) \
    APPLY(MAKER_##kind(name), (name, conv, result, sig, plain))
#include "arduinodrv_exports.inc"
