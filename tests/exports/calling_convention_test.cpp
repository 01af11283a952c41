// Every export called through raw stack words, as a host in any language
// would: how many argument bytes it removes itself, where its result comes
// back, that its std and c forms agree with the plain one, and that nothing
// but stdsad writes to standard output.
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

#include "protocol/board_channels.h"
#include "child.h"
#include "driver_loader.h"
#include "fake_board.h"
#include "stack_call.h"

namespace {

enum class result_kind { integer, real, text };

struct plain_export {
    const char *name;
    std::vector<uint32_t> words;  // the arguments as pushed
    int32_t removed;              // argument bytes the stdcall forms remove
    result_kind result;
    bool has_c_form;
};

uint32_t low_word(double d)
{
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return static_cast<uint32_t>(bits);
}

uint32_t high_word(double d)
{
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return static_cast<uint32_t>(bits >> 32);
}

std::vector<uint32_t> doubles(std::initializer_list<double> values)
{
    std::vector<uint32_t> words;
    for (double d : values) {
        words.push_back(low_word(d));
        words.push_back(high_word(d));
    }
    return words;
}

const std::vector<plain_export> &plain_exports()
{
    const std::vector<uint32_t> one_int = {1};
    const std::vector<uint32_t> two_ints = {1, 1};
    const std::vector<uint32_t> one_double = doubles({1.0});
    std::vector<uint32_t> int_double = {1};
    for (uint32_t w : doubles({2.5}))
        int_double.push_back(w);
    const std::vector<uint32_t> two_doubles = doubles({1.0, 2.5});
    using r = result_kind;
    static const std::vector<plain_export> table = {
        {"ea", one_int, 4, r::integer, true},
        {"ead", one_int, 4, r::real, true},
        {"eadouble", one_double, 8, r::real, false},
        {"eb", one_int, 4, r::integer, true},
        {"ebdouble", one_double, 8, r::real, false},
        {"nea", one_int, 4, r::text, true},
        {"nead", one_int, 4, r::text, true},
        {"neadouble", one_double, 8, r::text, false},
        {"neb", one_int, 4, r::text, true},
        {"nebdouble", one_double, 8, r::text, false},
        {"nsa", one_int, 4, r::text, true},
        {"nsad", one_int, 4, r::text, true},
        {"nsadouble", one_double, 8, r::text, false},
        {"nsb", one_int, 4, r::text, true},
        {"nsbdouble", one_double, 8, r::text, false},
        {"rsa", one_int, 4, r::integer, true},
        {"rsad", one_int, 4, r::real, true},
        {"rsadouble", one_double, 8, r::real, false},
        {"rsb", one_int, 4, r::integer, true},
        {"rsbdouble", one_double, 8, r::real, false},
        {"sa", two_ints, 8, r::integer, true},
        {"sad", int_double, 12, r::real, true},
        {"sadouble", two_doubles, 16, r::real, false},
        {"sb", two_ints, 8, r::integer, true},
        {"sbdouble", two_doubles, 16, r::real, false},
        {"titre", {}, 0, r::text, true},
        {"detail", {}, 0, r::text, true},
    };
    return table;
}

std::set<std::string> listed_exports()
{
    std::set<std::string> names;
    std::ifstream list(EXPORT_LIST);
    for (std::string line; std::getline(list, line);)
        if (!line.empty() && line[0] != '#')
            names.insert(line);
    return names;
}

// The measuring tool itself, on functions whose convention the compiler fixes.
__attribute__((stdcall, noinline)) int stdcall_three(int a, int b, int c) { return a * 100 + b * 10 + c; }
__attribute__((cdecl, noinline)) int cdecl_three(int a, int b, int c) { return a * 100 + b * 10 + c; }
__attribute__((stdcall, noinline)) double stdcall_int_double(int a, double b) { return a + b; }

TEST(CallingConventions, MeasuringToolSeesKnownConventions)
{
    const uint32_t ints[] = {1, 2, 3};
    stack_call_outcome o{};
    call_with_stack_words(reinterpret_cast<const void *>(&stdcall_three), ints, 3, &o);
    EXPECT_EQ(o.bytes_removed, 12);
    EXPECT_EQ(o.eax, 123u);
    EXPECT_EQ(o.x87_results, 0);
    EXPECT_EQ(o.ebx_kept, 1);
    call_with_stack_words(reinterpret_cast<const void *>(&cdecl_three), ints, 3, &o);
    EXPECT_EQ(o.bytes_removed, 0);
    EXPECT_EQ(o.eax, 123u);

    std::vector<uint32_t> words = {4};
    for (uint32_t w : doubles({0.25}))
        words.push_back(w);
    call_with_stack_words(reinterpret_cast<const void *>(&stdcall_int_double), words.data(), 3, &o);
    EXPECT_EQ(o.bytes_removed, 12);
    EXPECT_EQ(o.x87_results, 1);
    EXPECT_EQ(o.st0, 4.25);
}

// The table above, the std and c forms it implies, and the list that the
// symbol check uses must all name the same 71 functions.
TEST(CallingConventions, TableCoversTheExportList)
{
    std::set<std::string> from_table;
    for (const auto &e : plain_exports()) {
        from_table.insert(e.name);
        from_table.insert(std::string("std") + e.name);
        if (e.has_c_form)
            from_table.insert(std::string("c") + e.name);
    }
    EXPECT_EQ(from_table.size(), 71u);
    EXPECT_EQ(from_table, listed_exports());
}

struct observed {
    stack_call_outcome outcome;
    std::string text;  // copied at once for text results
};

observed call_export(const loaded_driver &driver, const std::string &name, const std::vector<uint32_t> &words)
{
    observed seen{};
    void *function = driver.symbol(name.c_str());
    if (function == nullptr) {
        ADD_FAILURE() << "missing export " << name;
        return seen;
    }
    call_with_stack_words(function, words.data(), static_cast<int32_t>(words.size()), &seen.outcome);
    return seen;
}

void check_result_kind(const std::string &name, const plain_export &e, observed &seen)
{
    const stack_call_outcome &o = seen.outcome;
    EXPECT_EQ(o.ebx_kept, 1) << name << " changed a callee-saved register";
    EXPECT_EQ(o.x87_results, e.result == result_kind::real ? 1 : 0) << name << ": result not where its type puts it";
    if (e.result == result_kind::text) {
        ASSERT_NE(o.eax, 0u) << name << " returned a null address";
        seen.text = reinterpret_cast<const char *>(o.eax);
    }
}

// With no port every input would wait 1000 ms for nothing; a board running
// the sketch answers at once and keeps the two dozen inputs quick.
void answer_inputs_at_once(fake_board &board)
{
    sketch_pins pins;
    for (uint16_t &reading : pins.analog)
        reading = 1;
    for (int pin : digital_input_pins)
        pins.input_high[pin] = true;
    board.answer_as_sketch(pins);
}

TEST(CallingConventions, BytesRemovedResultsAndSilence)
{
    const child_result child = run_in_child(
        [] {
            fake_board board(TEST_DEVICE_FOLDER, "ttyUSB0");
            answer_inputs_at_once(board);
            loaded_driver driver(TEST_LIBRARY_USB0);
            for (const auto &e : plain_exports()) {
                const std::string plain = e.name;
                observed base = call_export(driver, plain, e.words);
                EXPECT_EQ(base.outcome.bytes_removed, e.removed) << plain;
                check_result_kind(plain, e, base);

                observed std_form = call_export(driver, "std" + plain, e.words);
                EXPECT_EQ(std_form.outcome.bytes_removed, e.removed) << "std" << plain;
                check_result_kind("std" + plain, e, std_form);

                observed c_form{};
                if (e.has_c_form) {
                    c_form = call_export(driver, "c" + plain, e.words);
                    EXPECT_EQ(c_form.outcome.bytes_removed, 0) << "c" << plain;
                    check_result_kind("c" + plain, e, c_form);
                }

                // The title and description forms differ on purpose; every
                // other variant gives its plain twin's result.
                if (plain == "titre" || plain == "detail")
                    continue;
                const auto same = [&](const observed &a, const std::string &form) {
                    if (e.result == result_kind::text)
                        EXPECT_EQ(a.text, base.text) << form << plain;
                    else if (e.result == result_kind::real)
                        EXPECT_EQ(a.outcome.st0, base.outcome.st0) << form << plain;
                    else
                        EXPECT_EQ(a.outcome.eax, base.outcome.eax) << form << plain;
                };
                same(std_form, "std");
                if (e.has_c_form)
                    same(c_form, "c");
            }
        },
        60000, true);
    EXPECT_EQ(child.exit_code, 0) << child.out;
    // Every one of the 71 was called once: only stdsad writes anything.
    EXPECT_EQ(child.out, "dans stdsad\n");
}

}  // namespace
