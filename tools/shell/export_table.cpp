#include "export_table.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "protocol/board_channels.h"
#include "include/arduinodrv.h"

namespace {

constexpr signature_info signatures[] = {
    /* none */ {0, {}, {}},
    /* channel */ {1, {arg_kind::int32}, {"channel"}},
    /* channel_real */ {1, {arg_kind::real}, {"channel"}},
    /* channel_value */ {2, {arg_kind::int32, arg_kind::int32}, {"channel", "value"}},
    /* channel_volts */ {2, {arg_kind::int32, arg_kind::real}, {"channel", "volts"}},
    /* real_volts */ {2, {arg_kind::real, arg_kind::real}, {"channel", "volts"}},
    /* real_value */ {2, {arg_kind::real, arg_kind::real}, {"channel", "value"}},
};

constexpr convention convention_STD = convention::std_call;
constexpr convention convention_C = convention::c_call;

// Every export, in the header's order, from the table the build makes of
// the header's declarations (cmake/export_table.cmake): plain and std names
// are stdcall, c names cdecl; the double forms take every argument as a
// double.
constexpr export_info exports[] = {
#define ARDUINODRV_EXPORT(name, conv, result, sig, plain, kind) \
    {#name, convention_##conv, signature::sig, result_kind::result, #plain},
#include "arduinodrv_exports.inc"
#undef ARDUINODRV_EXPORT
};

// What help says of a plain function, and of the forms whose behaviour is
// their own; every other form is "as" its plain function.
constexpr std::pair<std::string_view, const char *> summaries[] = {
    {"ea", "analog input, raw reading (0..1023)"},
    {"ead", "analog input in volts (raw x 5 / 1024)"},
    {"eb", "digital input (0 or 1)"},
    {"nea", "label of an analog input"},
    {"nead", "label of an analog input in volts"},
    {"neb", "label of a digital input"},
    {"nsa", "label of an analog (PWM) output"},
    {"nsad", "label of an analog (PWM) output in volts"},
    {"nsb", "label of a digital output"},
    {"rsa", "last raw value set on an analog output"},
    {"rsad", "last voltage set on an analog output"},
    {"rsb", "last value set on a digital output"},
    {"sa", "set analog output, raw 0..255; returns value / 2"},
    {"sad", "set analog output in volts; returns raw / 2"},
    {"stdsad", "as sad, and prints \"dans stdsad\""},
    {"sb", "set digital output (1 on, else off); returns value"},
    {"titre", "title (\"Arduino en \")"},
    {"stdtitre", "title, std form (\"Arduino\")"},
    {"ctitre", "title, as stdtitre"},
    {"detail", "one-line description"},
    {"stddetail", "one-line description, std form"},
    {"cdetail", "one-line description, as stddetail"},
};

}  // namespace

std::string summary_of(const export_info &info)
{
    for (const auto &[name, summary] : summaries)
        if (name == info.name)
            return summary;
    const std::string as = std::string("as ") + info.plain;
    switch (info.sig) {
    case signature::channel_real:
    case signature::real_volts: return as + ", channel rounded";
    case signature::real_value: return as + ", channel and value rounded";
    default: return as;
    }
}

double full_scale_of(const export_info &info)
{
    // Raw 10-bit reading, volts, a level, raw PWM; 0: what was seen.
    const std::string_view plain = info.plain;
    if (plain == "ea")
        return highest_analog_reading;
    if (plain == "ead" || plain == "rsad")
        return analog_full_scale_volts;
    if (plain == "eb" || plain == "rsb")
        return 1;
    if (plain == "rsa")
        return highest_pwm_duty;
    return 0;
}

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
bool is_digital_output(const export_info &info) { return std::string_view(info.plain) == "sb"; }
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
    const std::string_view base = info.plain;
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
