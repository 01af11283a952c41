#include "firmware_image.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

extern "C" {
#include <sim_avr.h>
#include <sim_elf.h>
}

namespace {

constexpr uint16_t elf_machine_avr = 83;
constexpr size_t elf32_header_bytes = 52;
constexpr unsigned chip_family = 5;  // avr5: the ATmega328P's instruction set

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Intel hex, records 00 (data), 01 (end), 02 and 04 (segment and linear
// base), 03 and 05 (start address, which an AVR ignores). Every record's
// checksum is checked, so a damaged file is refused rather than run.
std::string read_hex(const std::string &text, std::vector<uint8_t> &flash)
{
    uint32_t base = 0;
    bool ended = false;
    size_t line_number = 0, position = 0;
    flash.clear();
    while (position < text.size() && !ended) {
        size_t end = text.find('\n', position);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(position, end - position);
        position = end + 1;
        ++line_number;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (line.empty())
            continue;
        const std::string where = "line " + std::to_string(line_number) + ": ";
        if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0)
            return where + "not an Intel hex record";
        std::vector<uint8_t> bytes;
        for (size_t i = 1; i + 1 < line.size(); i += 2) {
            const int high = hex_value(line[i]), low = hex_value(line[i + 1]);
            if (high < 0 || low < 0)
                return where + "not an Intel hex record";
            bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        }
        const size_t count = bytes[0];
        if (bytes.size() != count + 5)
            return where + "record length does not match its data";
        uint8_t sum = 0;
        for (uint8_t b : bytes)
            sum = static_cast<uint8_t>(sum + b);
        if (sum != 0)
            return where + "bad checksum";
        const uint32_t offset = static_cast<uint32_t>(bytes[1] << 8 | bytes[2]);
        const uint8_t *data = bytes.data() + 4;
        switch (bytes[3]) {
        case 0x00: {
            const uint32_t address = base + offset;
            if (address + count > chip_flash_bytes)
                return where + "data beyond the " + std::to_string(chip_flash_bytes) + " bytes of flash of the " +
                       chip_name;
            if (flash.size() < address + count)
                flash.resize(address + count, 0xff);
            std::memcpy(flash.data() + address, data, count);
            break;
        }
        case 0x01: ended = true; break;
        case 0x02: base = static_cast<uint32_t>((data[0] << 8 | data[1]) << 4); break;
        case 0x04: base = static_cast<uint32_t>((data[0] << 8 | data[1]) << 16); break;
        case 0x03:
        case 0x05: break;
        default: return where + "unknown record type";
        }
    }
    if (!ended)
        return "no end record: the file is cut short";
    if (flash.empty())
        return "no code in it";
    return "";
}

}  // namespace

std::string read_firmware(const std::string &path, firmware_image &image)
{
    struct stat info{};
    if (stat(path.c_str(), &info) != 0)
        return std::strerror(errno);
    if (!S_ISREG(info.st_mode))
        return "not a file";
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::strerror(errno);
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad())
        return "cannot read it";
    if (content.compare(0, 4, "\x7f" "ELF") == 0) {
        if (content.size() < elf32_header_bytes)
            return "an ELF file cut short";
        // e_machine sits at byte 18; AVR files are little-endian.
        const uint16_t machine = static_cast<uint16_t>(static_cast<uint8_t>(content[18]) |
                                                       static_cast<uint8_t>(content[19]) << 8);
        if (content[4] != 1 || content[5] != 1 || machine != elf_machine_avr)
            return "an ELF file, but not for the AVR";
        // The low bits of e_flags name the AVR family the code was built for.
        const unsigned family = static_cast<uint8_t>(content[36]) & 0x7f;
        if (family != 0 && family != chip_family)
            return "built for the AVR family avr" + std::to_string(family) + ", not the " + chip_name + "'s avr" +
                   std::to_string(chip_family);
        image.elf_path = path;
        return "";
    }
    if (!content.empty() && content[0] == ':') {
        const std::string problem = read_hex(content, image.flash);
        return problem.empty() ? "" : "bad Intel hex file: " + problem;
    }
    return "not an AVR firmware image (neither an Intel hex nor an AVR ELF file)";
}

avr_t *make_chip(const firmware_image &image, std::string &error)
{
    elf_firmware_t elf{};
    if (!image.elf_path.empty()) {
        if (elf_read_firmware(image.elf_path.c_str(), &elf) != 0) {
            error = "simavr cannot read the ELF file";
            return nullptr;
        }
        if (elf.flashsize == 0 || elf.flashbase + elf.flashsize > chip_flash_bytes) {
            error = "the ELF file holds no code for the " + std::string(chip_name) + "'s flash";
            return nullptr;
        }
    }
    avr_t *avr = avr_make_mcu_by_name(chip_name);
    if (avr == nullptr || avr_init(avr) != 0) {
        error = std::string("simavr has no ") + chip_name;
        return nullptr;
    }
    if (!image.elf_path.empty()) {
        // The sketch's ELF names no chip or clock; ours are fixed.
        std::strncpy(elf.mmcu, chip_name, sizeof elf.mmcu - 1);
        elf.frequency = chip_hz;
        avr_load_firmware(avr, &elf);
        std::free(elf.flash);  // simavr copied it into the chip
        std::free(elf.eeprom);
    } else {
        avr_loadcode(avr, const_cast<uint8_t *>(image.flash.data()), static_cast<uint32_t>(image.flash.size()), 0);
    }
    avr->frequency = chip_hz;
    // simavr takes 3.3 V when these are unset, which would scale every reading.
    avr->vcc = avr->avcc = avr->aref = chip_millivolts;
    return avr;
}
