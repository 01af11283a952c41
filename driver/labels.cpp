// Channel labels, title and description. Latin-1 bytes are written as
// escapes ("\xE9" is é, "\xFB" is û) so no editor turns them into UTF-8.
#include <string>

#include "arduinodrv.h"
#include "return_area.h"
#include "text_convert.h"

namespace {
// Each function's last text; the title and description families share a
// slot.
text_slot nea_text, nead_text, neb_text, nsa_text, nsad_text, nsb_text;
text_slot titre_text, detail_text;

const char *keep_and_hand_over(text_slot &slot, const std::string &text)
{
    store_text(slot, text);
    return hand_over_text(slot.bytes);
}

// The middle of the title and description: always empty.
constexpr const char *board_name = "";

const char *label_of(text_slot &slot, int channel, const char *const (&labels)[4])
{
    return keep_and_hand_over(slot, channel >= 0 && channel < 4 ? labels[channel] : "");
}

const char *analog_input_label(text_slot &slot, int channel, const char *suffix)
{
    return keep_and_hand_over(slot, channel >= 0 && channel <= 5 ? "EA" + decimal_text(channel) + suffix : "");
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
    return keep_and_hand_over(titre_text, std::string("Arduino en ") + board_name);
}

const char *ARDUINODRV_STDCALL detail() noexcept
{
    return keep_and_hand_over(detail_text,
                              std::string("Pilote pour Arduino en ") + board_name + ", par Tervalique, le 15 ao\xFBt 2012");
}

const char *ARDUINODRV_STDCALL stdtitre() noexcept
{
    return keep_and_hand_over(titre_text, "Arduino");
}

const char *ARDUINODRV_STDCALL stddetail() noexcept
{
    return keep_and_hand_over(detail_text, "Arduino 2009, par Tervalique, le 23 f\xE9vrier 2011");
}

const char *ARDUINODRV_CDECL ctitre() noexcept
{
    return keep_and_hand_over(titre_text, stdtitre());
}

const char *ARDUINODRV_CDECL cdetail() noexcept
{
    return keep_and_hand_over(detail_text, stddetail());
}
