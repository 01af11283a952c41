// Channel labels, title and description. Latin-1 bytes are written as
// escapes ("\xE9" is é, "\xFB" is û) so no editor turns them into UTF-8.
#include <string>

#include "arduinodrv.h"
#include "return_area.h"
#include "text_convert.h"

namespace {
// Each function's last text; the title and description families share a
// slot. Never destroyed, like the return area: exit handlers of the host may
// still ask for a label.
std::string &nea_text = *new std::string, &nead_text = *new std::string;
std::string &neb_text = *new std::string, &nsa_text = *new std::string;
std::string &nsad_text = *new std::string, &nsb_text = *new std::string;
std::string &titre_text = *new std::string, &detail_text = *new std::string;

// The middle of the title and description: always empty.
constexpr const char *board_name = "";

const char *label_of(std::string &slot, int channel, const char *const (&labels)[4])
{
    slot.clear();
    for (int i = 0; i < 4; ++i)
        if (channel == i)
            slot = labels[i];
    return hand_over_text(slot);
}

const char *analog_input_label(std::string &slot, int channel, const char *suffix)
{
    slot.clear();
    if (channel >= 0 && channel <= 5)
        slot = "EA" + decimal_text(channel) + suffix;
    return hand_over_text(slot);
}

constexpr const char *neb_labels[4] = {"EB0 br 2", "EB1 br 4", "EB2 br 7", "EB3 br8"};
constexpr const char *nsa_labels[4] = {"SA 0..255 (PWM) br3", "SA 0..255(PWM) br5",
                                       "SA 0..255(PWM) br6", "SA 0..255(PWM) br9"};
constexpr const char *nsad_labels[4] = {"SA0 0..5V(PWM) br3", "SA1 0..5V(PWM) br5",
                                        "SA2 0..5V(PWM) br6", "SA3 0..5V(PWM) br9"};
constexpr const char *nsb_labels[4] = {"SB0 br. 10", "SB1 br11", "SB2 br 12", "SB3 br 13 (diode)"};
}  // namespace

const char *ARDUINODRV_STDCALL nea(int channel) noexcept { return analog_input_label(nea_text, channel, ""); }
const char *ARDUINODRV_STDCALL nead(int channel) noexcept { return analog_input_label(nead_text, channel, " (V)"); }
const char *ARDUINODRV_STDCALL neb(int channel) noexcept { return label_of(neb_text, channel, neb_labels); }
const char *ARDUINODRV_STDCALL nsa(int channel) noexcept { return label_of(nsa_text, channel, nsa_labels); }
const char *ARDUINODRV_STDCALL nsad(int channel) noexcept { return label_of(nsad_text, channel, nsad_labels); }
const char *ARDUINODRV_STDCALL nsb(int channel) noexcept { return label_of(nsb_text, channel, nsb_labels); }

const char *ARDUINODRV_STDCALL titre() noexcept
{
    titre_text = std::string("Arduino en ") + board_name;
    return hand_over_text(titre_text);
}

const char *ARDUINODRV_STDCALL detail() noexcept
{
    detail_text = std::string("Pilote pour Arduino en ") + board_name + ", par Tervalique, le 15 ao\xFBt 2012";
    return hand_over_text(detail_text);
}

const char *ARDUINODRV_STDCALL stdtitre() noexcept
{
    titre_text = "Arduino";
    return hand_over_text(titre_text);
}

const char *ARDUINODRV_STDCALL stddetail() noexcept
{
    detail_text = "Arduino 2009, par Tervalique, le 23 f\xE9vrier 2011";
    return hand_over_text(detail_text);
}

const char *ARDUINODRV_CDECL ctitre() noexcept
{
    titre_text = stdtitre();
    return hand_over_text(titre_text);
}

const char *ARDUINODRV_CDECL cdetail() noexcept
{
    detail_text = stddetail();
    return hand_over_text(detail_text);
}
