// Digital inputs: the board answers "EB<pin>" with one byte, 0 for low.
#include "arduinodrv.h"
#include "exchange.h"
#include "text_convert.h"

namespace {
int32_t digital_input_pin(int32_t channel)
{
    switch (channel) {
    case 0: return 2;
    case 1: return 4;
    case 2: return 7;
    case 3: return 8;
    default: return 0;
    }
}
}  // namespace

int ARDUINODRV_STDCALL eb(int channel) noexcept
{
    const int32_t answer = exchange_byte("EB" + decimal_text(digital_input_pin(channel)));
    return answer != no_answer_byte && answer != 0 ? 1 : 0;
}
