// Returned texts byte for byte with no board at all: every label in every
// calling form, the title and description families, the double forms with
// any double, the lifetime of a returned text and the memory it costs.
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

#include "child.h"
#include "driver_loader.h"
#include "hostile_doubles.h"

namespace {

// A text result as the host gets it: never null, copied before the next call.
std::string text_at(const char *p, const std::string &what)
{
    EXPECT_NE(p, nullptr) << what << " returned a null address";
    return p == nullptr ? std::string("<null>") : std::string(p);
}

const int probe_channels[] = {INT_MIN, -100, -1, 0, 1, 2, 3, 4, 5, 6, 7, 9, 100, INT_MAX};

std::string expected_nea(int channel) { return channel >= 0 && channel <= 5 ? "EA" + std::to_string(channel) : ""; }
std::string expected_nead(int channel) { return channel >= 0 && channel <= 5 ? "EA" + std::to_string(channel) + " (V)" : ""; }

std::string from_table(const char *const (&table)[4], int channel)
{
    return channel >= 0 && channel <= 3 ? table[channel] : "";
}

const char *const neb_texts[4] = {"EB0 br 2", "EB1 br 4", "EB2 br 7", "EB3 br8"};
const char *const nsa_texts[4] = {"SA 0..255 (PWM) br3", "SA 0..255(PWM) br5", "SA 0..255(PWM) br6",
                                  "SA 0..255(PWM) br9"};
const char *const nsad_texts[4] = {"SA0 0..5V(PWM) br3", "SA1 0..5V(PWM) br5", "SA2 0..5V(PWM) br6",
                                   "SA3 0..5V(PWM) br9"};
const char *const nsb_texts[4] = {"SB0 br. 10", "SB1 br11", "SB2 br 12", "SB3 br 13 (diode)"};

const std::string plain_title("Arduino en ");
const std::string plain_detail("Pilote pour Arduino en , par Tervalique, le 15 ao\xFBt 2012");
const std::string std_title("Arduino");
const std::string std_detail("Arduino 2009, par Tervalique, le 23 f\xE9vrier 2011");

using int_label = const char *(ARDUINODRV_STDCALL *)(int);
using c_label = const char *(ARDUINODRV_CDECL *)(int);
using double_label = const char *(ARDUINODRV_STDCALL *)(double);

struct label_family {
    const char *name;
    std::string (*expected)(int);
    int_label plain, std_form;
    c_label c_form;
    double_label double_form = nullptr, std_double_form = nullptr;
};

std::vector<label_family> label_families(const loaded_driver &d)
{
    return {
        {"nea", expected_nea, GET_EXPORT(d, nea), GET_EXPORT(d, stdnea), GET_EXPORT(d, cnea)},
        {"nead", expected_nead, GET_EXPORT(d, nead), GET_EXPORT(d, stdnead), GET_EXPORT(d, cnead),
         GET_EXPORT(d, neadouble), GET_EXPORT(d, stdneadouble)},
        {"neb", [](int c) { return from_table(neb_texts, c); }, GET_EXPORT(d, neb), GET_EXPORT(d, stdneb),
         GET_EXPORT(d, cneb), GET_EXPORT(d, nebdouble), GET_EXPORT(d, stdnebdouble)},
        {"nsa", [](int c) { return from_table(nsa_texts, c); }, GET_EXPORT(d, nsa), GET_EXPORT(d, stdnsa),
         GET_EXPORT(d, cnsa)},
        {"nsad", [](int c) { return from_table(nsad_texts, c); }, GET_EXPORT(d, nsad), GET_EXPORT(d, stdnsad),
         GET_EXPORT(d, cnsad), GET_EXPORT(d, nsadouble), GET_EXPORT(d, stdnsadouble)},
        {"nsb", [](int c) { return from_table(nsb_texts, c); }, GET_EXPORT(d, nsb), GET_EXPORT(d, stdnsb),
         GET_EXPORT(d, cnsb), GET_EXPORT(d, nsbdouble), GET_EXPORT(d, stdnsbdouble)},
    };
}

void check_labels(const loaded_driver &driver)
{
    for (const auto &f : label_families(driver)) {
        for (int channel : probe_channels) {
            const std::string expected = f.expected(channel);
            const std::string where = std::string(f.name) + "(" + std::to_string(channel) + ")";
            const char *p = f.plain(channel);
            // The empty text too is the address of a zero byte.
            ASSERT_NE(p, nullptr) << where;
            EXPECT_EQ(std::string(p), expected) << where;
            EXPECT_EQ(text_at(f.std_form(channel), "std" + where), expected);
            EXPECT_EQ(text_at(f.c_form(channel), "c" + where), expected);
        }
    }
}

void check_titles(const loaded_driver &driver)
{
    auto titre = GET_EXPORT(driver, titre);
    auto detail = GET_EXPORT(driver, detail);
    auto stdtitre = GET_EXPORT(driver, stdtitre);
    auto stddetail = GET_EXPORT(driver, stddetail);
    auto ctitre = GET_EXPORT(driver, ctitre);
    auto cdetail = GET_EXPORT(driver, cdetail);
    EXPECT_EQ(plain_title.size(), 11u);
    // Each family shares one slot: the order of calls must not matter.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(text_at(titre(), "titre"), plain_title);
        EXPECT_EQ(text_at(ctitre(), "ctitre"), std_title);
        EXPECT_EQ(text_at(titre(), "titre"), plain_title);
        EXPECT_EQ(text_at(stdtitre(), "stdtitre"), std_title);
        EXPECT_EQ(text_at(detail(), "detail"), plain_detail);
        EXPECT_EQ(text_at(cdetail(), "cdetail"), std_detail);
        EXPECT_EQ(text_at(stddetail(), "stddetail"), std_detail);
        EXPECT_EQ(text_at(detail(), "detail"), plain_detail);
    }
    // Latin-1, one byte per character: the accented letters are single bytes.
    const std::string d = text_at(detail(), "detail");
    EXPECT_EQ(d.find("ao\xFBt 2012"), d.size() - 9);
    const std::string s = text_at(stddetail(), "stddetail");
    EXPECT_EQ(s.find("f\xE9vrier"), s.find("le 23 ") + 6);
}

void check_double_labels(const loaded_driver &driver)
{
    auto neadouble = GET_EXPORT(driver, neadouble);
    auto nebdouble = GET_EXPORT(driver, nebdouble);
    auto nsadouble = GET_EXPORT(driver, nsadouble);
    EXPECT_EQ(text_at(neadouble(2.5), "neadouble(2.5)"), "EA3 (V)");
    EXPECT_EQ(text_at(nebdouble(-0.5), "nebdouble(-0.5)"), "");
    EXPECT_EQ(text_at(nebdouble(0.49999999), "nebdouble(0.49999999)"), "EB1 br 4");
    EXPECT_EQ(text_at(nsadouble(1e10), "nsadouble(1e10)"), "");

    for (const auto &f : label_families(driver)) {
        if (f.double_form == nullptr)
            continue;
        for (const auto &c : hostile_doubles()) {
            const std::string expected = f.expected(c.whole);
            char where[80];
            std::snprintf(where, sizeof where, "%sdouble(%.17g)", f.name, c.value);
            EXPECT_EQ(text_at(f.double_form(c.value), where), expected) << where;
            EXPECT_EQ(text_at(f.std_double_form(c.value), where), expected) << "std" << where;
        }
    }
}

void check_lifetime(const loaded_driver &driver)
{
    auto nea = GET_EXPORT(driver, nea);
    auto cnsb = GET_EXPORT(driver, cnsb);
    auto detail = GET_EXPORT(driver, detail);

    const char *p = nea(0);
    ASSERT_NE(p, nullptr);
    // The host's own allocations between calls must not disturb the text.
    std::vector<std::string> churn;
    for (int i = 0; i < 64; ++i)
        churn.emplace_back(static_cast<size_t>(i * 37), 'x');
    churn.clear();
    EXPECT_STREQ(p, "EA0");
    const std::string kept(p);
    // A longer text next, then a wrapper's text: what the host copied stays.
    EXPECT_EQ(text_at(detail(), "detail"), plain_detail);
    const char *q = cnsb(3);
    EXPECT_STREQ(q, "SB3 br 13 (diode)");
    EXPECT_EQ(kept, "EA0");
}

TEST(Texts, LabelsTitlesAndDoubleFormsWithoutBoard)
{
    const child_result child = run_in_child(
        [] {
            loaded_driver driver(TEST_LIBRARY_USB0);
            check_labels(driver);
            check_titles(driver);
            check_double_labels(driver);
            check_lifetime(driver);
            // Labels and titles wrote nothing; stdsad writes its line even
            // with no port to send to.
            auto stdsad = GET_EXPORT(driver, stdsad);
            stdsad(0, 1.0);
        },
        60000, true);
    EXPECT_EQ(child.exit_code, 0) << child.out;
    EXPECT_EQ(child.out, "dans stdsad\n");
}

struct memory_use {
    long rss_kb = -1, data_kb = -1;
};

memory_use current_memory()
{
    memory_use m;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            m.rss_kb = std::stol(line.substr(6));
        else if (line.rfind("VmData:", 0) == 0)
            m.data_kb = std::stol(line.substr(7));
    }
    return m;
}

// Only the latest text must live on, so a long run of calls may not grow the
// process. MANY_CALLS comes from the build: ten million take about 15 s
// under the emulator, sanitizers included.
TEST(Texts, MemoryStaysBoundedOverManyCalls)
{
    const child_result child = run_in_child(
        [] {
            loaded_driver driver(TEST_LIBRARY_USB0);
            auto nea = GET_EXPORT(driver, nea);
            // Warm up first: the first calls may size the return area.
            for (int i = 0; i < 1000; ++i)
                nea(i % 8);
            const memory_use before = current_memory();
            const auto start = std::chrono::steady_clock::now();
            const char *p = nullptr;
            for (long i = 0; i < MANY_CALLS; ++i)
                p = nea(static_cast<int>(i % 8));
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const memory_use after = current_memory();
            EXPECT_STREQ(p, expected_nea(static_cast<int>((MANY_CALLS - 1) % 8)).c_str());
            std::printf("%ld nea calls in %.1f s; VmRSS %ld -> %ld kB, VmData %ld -> %ld kB\n",
                        static_cast<long>(MANY_CALLS), seconds, before.rss_kb, after.rss_kb, before.data_kb,
                        after.data_kb);
            ASSERT_GE(before.rss_kb, 0);
            ASSERT_GE(before.data_kb, 0);
            // A leak of even one small block per call would be hundreds of MB.
            EXPECT_LT(after.rss_kb - before.rss_kb, 4096);
            EXPECT_LT(after.data_kb - before.data_kb, 4096);
        },
        600000);
    EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
