// The table of the library's exports that drives the shell: calling, argument
// checking and help all read it. It is made from the header's declarations,
// so an export added there is here too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class convention : uint8_t { std_call, c_call };
enum class arg_kind : uint8_t { int32, real };
enum class result_kind : uint8_t { int32, real, text };

// The argument lists that occur among the exports.
enum class signature : uint8_t {
    none,             // ()
    channel,          // (int channel)
    channel_real,     // (double channel)
    channel_value,    // (int channel, int value)
    channel_volts,    // (int channel, double volts)
    real_volts,       // (double channel, double volts)
    real_value,       // (double channel, double value)
};

constexpr int max_export_args = 2;

struct signature_info {
    int count;
    arg_kind kinds[max_export_args];
    const char *names[max_export_args];
};

struct export_info {
    const char *name;
    convention conv;
    signature sig;
    result_kind result;
    const char *plain;  // the function whose behaviour it has: "ea" for cea and eadouble
};

// What it does, for help.
std::string summary_of(const export_info &info);
// Range of the value for the live plot (0 = scale to what was seen).
double full_scale_of(const export_info &info);

const signature_info &signature_of(signature sig);

// All exports, in the order help lists them.
const export_info *export_table();
size_t export_count();

// The row of `name`, or nullptr when the library has no such export.
const export_info *find_export(const char *name);

// What an export does with the board: nothing (labels, texts, read-backs),
// send a command, or ask and wait for an answer line (ea, ead) or a byte (eb).
enum class board_use : uint8_t { none, sends, asks_line, asks_byte };
board_use board_use_of(const export_info &info);

// How many channels of the export's kind the board has (6 analog inputs, 4
// of each other kind, as the library's header counts them); 0 for an export that names no board channel.
int board_channels_of(const export_info &info);
// "analog inputs", "digital outputs"...; "" for an export that names none.
const char *board_channel_kind(const export_info &info);

// "int", "double" or "text".
const char *result_kind_name(result_kind kind);
const char *arg_kind_name(arg_kind kind);
const char *convention_name(convention conv);
