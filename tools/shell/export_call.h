// Loading the library and calling its exports by name, each with its own
// calling convention.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "export_table.h"

struct call_arguments {
    // Position i holds its value in ints[i] or reals[i], as the signature says.
    int32_t ints[max_export_args] = {};
    double reals[max_export_args] = {};
};

struct call_result {
    result_kind kind = result_kind::int32;
    int32_t integer = 0;
    double real = 0.0;
    std::string text;  // Latin-1, copied before the next call can overwrite it
};

// The library is loaded on the first call, not at start: loading opens the
// board's port, which `check` must find free.
void set_library_path(const std::string &path);
const std::string &library_path();
bool library_loaded();
// Loads it if not yet done; on failure says why on `err`.
bool load_library(FILE *err);

// Whether the loaded library got its port, as its trace said at load
// (library_trace.h). Unknown before loading and with a test's stand-in
// exports.
enum class port_state { unknown, open, missing };
port_state library_port_state();

// Where export addresses come from: the loaded library, or a test's stand-ins.
using export_resolver = void *(*)(const char *name);
void set_export_resolver(export_resolver resolver);

// The address of the export, loading the library if needed; nullptr (with a
// message on `err`) when it cannot be had.
void *resolve_export(const export_info &info, FILE *err);

// Calls the export at `address` with the convention and types of `info`.
call_result call_export(const export_info &info, void *address, const call_arguments &args);
