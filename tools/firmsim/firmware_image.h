// The firmware image that firmsim runs: an Intel hex file or an AVR ELF file,
// as board/build-sketch.sh makes them, checked before anything runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct avr_t;

struct firmware_image {
    std::vector<uint8_t> flash;  // from address 0
    std::string elf_path;        // set for an ELF file: simavr loads it itself
};

// The chip that firmsim emulates: an Uno's.
constexpr const char *chip_name = "atmega328p";
constexpr uint32_t chip_hz = 16000000;
constexpr uint32_t chip_flash_bytes = 32768;
constexpr uint32_t chip_millivolts = 5000;  // VCC, AVCC and AREF

// Reads and checks the file. Returns "" or why it cannot be run.
std::string read_firmware(const std::string &path, firmware_image &image);

// Makes the chip with the image in its flash and 5 V on its supply pins.
// Returns nullptr (with the reason in error) when simavr refuses.
avr_t *make_chip(const firmware_image &image, std::string &error);
