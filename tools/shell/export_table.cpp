#include "export_table.h"

#include <cstring>
#include <string_view>

#include "protocol/board_channels.h"
#include "include/arduinodrv.h"

namespace {

constexpr convention S = convention::std_call;
constexpr convention C = convention::c_call;
constexpr result_kind I = result_kind::int32;
constexpr result_kind D = result_kind::real;
constexpr result_kind T = result_kind::text;

// Full scales of the live plot: raw 10-bit reading, volts, a level, raw PWM.
constexpr double raw_in = highest_analog_reading;
constexpr double volts = 5;
constexpr double level = 1;
constexpr double raw_out = 255;

constexpr signature_info signatures[] = {
    /* none */ {0, {}, {}},
    /* channel */ {1, {arg_kind::int32}, {"channel"}},
    /* channel_real */ {1, {arg_kind::real}, {"channel"}},
    /* channel_value */ {2, {arg_kind::int32, arg_kind::int32}, {"channel", "value"}},
    /* channel_volts */ {2, {arg_kind::int32, arg_kind::real}, {"channel", "volts"}},
    /* real_volts */ {2, {arg_kind::real, arg_kind::real}, {"channel", "volts"}},
    /* real_value */ {2, {arg_kind::real, arg_kind::real}, {"channel", "value"}},
};

using enum signature;

// Plain and std names are stdcall, c names cdecl; the double forms take every
// argument as a double.
constexpr export_info exports[] = {
    {"ea", S, channel, I, raw_in, "analog input, raw reading (0..1023)"},
    {"stdea", S, channel, I, raw_in, "as ea"},
    {"cea", C, channel, I, raw_in, "as ea"},
    {"ead", S, channel, D, volts, "analog input in volts (raw x 5 / 1024)"},
    {"stdead", S, channel, D, volts, "as ead"},
    {"cead", C, channel, D, volts, "as ead"},
    {"eadouble", S, channel_real, D, volts, "as ead, channel rounded"},
    {"stdeadouble", S, channel_real, D, volts, "as ead, channel rounded"},

    {"eb", S, channel, I, level, "digital input (0 or 1)"},
    {"stdeb", S, channel, I, level, "as eb"},
    {"ceb", C, channel, I, level, "as eb"},
    {"ebdouble", S, channel_real, D, level, "as eb, channel rounded"},
    {"stdebdouble", S, channel_real, D, level, "as eb, channel rounded"},

    {"nea", S, channel, T, 0, "label of an analog input"},
    {"stdnea", S, channel, T, 0, "as nea"},
    {"cnea", C, channel, T, 0, "as nea"},
    {"nead", S, channel, T, 0, "label of an analog input in volts"},
    {"stdnead", S, channel, T, 0, "as nead"},
    {"cnead", C, channel, T, 0, "as nead"},
    {"neadouble", S, channel_real, T, 0, "as nead, channel rounded"},
    {"stdneadouble", S, channel_real, T, 0, "as nead, channel rounded"},
    {"neb", S, channel, T, 0, "label of a digital input"},
    {"stdneb", S, channel, T, 0, "as neb"},
    {"cneb", C, channel, T, 0, "as neb"},
    {"nebdouble", S, channel_real, T, 0, "as neb, channel rounded"},
    {"stdnebdouble", S, channel_real, T, 0, "as neb, channel rounded"},
    {"nsa", S, channel, T, 0, "label of an analog (PWM) output"},
    {"stdnsa", S, channel, T, 0, "as nsa"},
    {"cnsa", C, channel, T, 0, "as nsa"},
    {"nsad", S, channel, T, 0, "label of an analog (PWM) output in volts"},
    {"stdnsad", S, channel, T, 0, "as nsad"},
    {"cnsad", C, channel, T, 0, "as nsad"},
    {"nsadouble", S, channel_real, T, 0, "as nsad, channel rounded"},
    {"stdnsadouble", S, channel_real, T, 0, "as nsad, channel rounded"},
    {"nsb", S, channel, T, 0, "label of a digital output"},
    {"stdnsb", S, channel, T, 0, "as nsb"},
    {"cnsb", C, channel, T, 0, "as nsb"},
    {"nsbdouble", S, channel_real, T, 0, "as nsb, channel rounded"},
    {"stdnsbdouble", S, channel_real, T, 0, "as nsb, channel rounded"},

    {"rsa", S, channel, I, raw_out, "last raw value set on an analog output"},
    {"stdrsa", S, channel, I, raw_out, "as rsa"},
    {"crsa", C, channel, I, raw_out, "as rsa"},
    {"rsad", S, channel, D, volts, "last voltage set on an analog output"},
    {"stdrsad", S, channel, D, volts, "as rsad"},
    {"crsad", C, channel, D, volts, "as rsad"},
    {"rsadouble", S, channel_real, D, volts, "as rsad, channel rounded"},
    {"stdrsadouble", S, channel_real, D, volts, "as rsad, channel rounded"},
    {"rsb", S, channel, I, level, "last value set on a digital output"},
    {"stdrsb", S, channel, I, level, "as rsb"},
    {"crsb", C, channel, I, level, "as rsb"},
    {"rsbdouble", S, channel_real, D, level, "as rsb, channel rounded"},
    {"stdrsbdouble", S, channel_real, D, level, "as rsb, channel rounded"},

    {"sa", S, channel_value, I, 0, "set analog output, raw 0..255; returns value / 2"},
    {"stdsa", S, channel_value, I, 0, "as sa"},
    {"csa", C, channel_value, I, 0, "as sa"},
    {"sad", S, channel_volts, D, 0, "set analog output in volts; returns raw / 2"},
    {"stdsad", S, channel_volts, D, 0, "as sad, and prints \"dans stdsad\""},
    {"csad", C, channel_volts, D, 0, "as sad"},
    {"sadouble", S, real_volts, D, 0, "as sad, channel rounded"},
    {"stdsadouble", S, real_volts, D, 0, "as sad, channel rounded"},
    {"sb", S, channel_value, I, 0, "set digital output (1 on, else off); returns value"},
    {"stdsb", S, channel_value, I, 0, "as sb"},
    {"csb", C, channel_value, I, 0, "as sb"},
    {"sbdouble", S, real_value, D, 0, "as sb, channel and value rounded"},
    {"stdsbdouble", S, real_value, D, 0, "as sb, channel and value rounded"},

    {"titre", S, none, T, 0, "title (\"Arduino en \")"},
    {"stdtitre", S, none, T, 0, "title, std form (\"Arduino\")"},
    {"ctitre", C, none, T, 0, "title, as stdtitre"},
    {"detail", S, none, T, 0, "one-line description"},
    {"stddetail", S, none, T, 0, "one-line description, std form"},
    {"cdetail", C, none, T, 0, "one-line description, as stddetail"},
};

}  // namespace

const signature_info &signature_of(signature sig)
{
    return signatures[static_cast<size_t>(sig)];
}

const export_info *export_table() { return exports; }

size_t export_count() { return sizeof exports / sizeof exports[0]; }

const export_info *find_export(const char *name)
{
    if (name == nullptr)
        return nullptr;
    for (const export_info &e : exports)
        if (std::strcmp(e.name, name) == 0)
            return &e;
    return nullptr;
}

namespace {
// The plain name without its variant's prefix (std, c) and suffix (double).
std::string_view plain_name(const export_info &info)
{
    std::string_view base = info.name;
    if (base.starts_with("std"))
        base.remove_prefix(3);
    else if (info.conv == convention::c_call)
        base.remove_prefix(1);
    if (base.ends_with("double"))
        base.remove_suffix(6);
    return base;
}

bool is_digital_output(const export_info &info) { return plain_name(info) == "sb"; }
}  // namespace

int board_channels_of(const export_info &info)
{
    switch (board_use_of(info)) {
    case board_use::none: return 0;
    case board_use::asks_line: return ARDUINODRV_ANALOG_INPUTS;
    case board_use::asks_byte: return ARDUINODRV_DIGITAL_INPUTS;
    case board_use::sends: return is_digital_output(info) ? ARDUINODRV_DIGITAL_OUTPUTS : ARDUINODRV_ANALOG_OUTPUTS;
    }
    return 0;
}

const char *board_channel_kind(const export_info &info)
{
    switch (board_use_of(info)) {
    case board_use::none: return "";
    case board_use::asks_line: return "analog inputs";
    case board_use::asks_byte: return "digital inputs";
    case board_use::sends: return is_digital_output(info) ? "digital outputs" : "analog outputs";
    }
    return "";
}

board_use board_use_of(const export_info &info)
{
    const std::string_view base = plain_name(info);
    if (base == "ea" || base == "ead")
        return board_use::asks_line;
    if (base == "eb")
        return board_use::asks_byte;
    if (base == "sa" || base == "sad" || base == "sb")
        return board_use::sends;
    return board_use::none;
}

const char *result_kind_name(result_kind kind)
{
    switch (kind) {
    case result_kind::int32: return "int";
    case result_kind::real: return "double";
    case result_kind::text: return "text";
    }
    return "?";
}

const char *arg_kind_name(arg_kind kind)
{
    return kind == arg_kind::int32 ? "int" : "double";
}

const char *convention_name(convention conv)
{
    return conv == convention::std_call ? "stdcall" : "cdecl";
}
