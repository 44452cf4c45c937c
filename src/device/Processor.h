// SPDX-License-Identifier: Apache-2.0
#pragma once
// The processor database: what the linker and its tools know about each
// target device. Devices have two identities. Files carry a 16-bit device
// code; everything inside the tools uses the internal processor number, the
// device's row in the table (1 to procTypeCount). Only the device code and
// name lookups accept values from outside; every other query takes a number
// obtained from them and stops the program on anything else.
//
// Nothing here has state beyond the table itself: each query is a pure
// function of its arguments and the rows. The built-in rows may be joined by
// rows added at run time, from device files, before any query is made for a
// link; a row added with a built-in device's code takes that device's place.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

namespace tarsil {

// Instruction sets, in the numbering that selects the relocation patcher and
// the instruction encoders.
enum InstSet : int { instSetCore14 = 1, instSetCore16 = 2, instSetCore12 = 3, instSetCore16E = 4 };

// The built-in rows; they keep their numbers, 1 to procTypeCount, and rows
// added at run time follow them.
inline constexpr int procTypeCount = 200;
// Every processor number, added rows included.
int getProcTypeCount();

// What convertDvsProcType gives for a device code that no device has. It is
// never a valid processor number, so passing it on to another query stops
// the program instead of silently answering for some other device.
inline constexpr int noSuchProcType = 0;

int getInstSet(int procType);
// "Core12", "Core14", "Core16" or "Core16E".
const char* getInstSetName(int instSet);

const char* getDvsProcName(int procType);
std::uint16_t getDvsProcType(int procType);

// Only the low 16 bits of `code` count, so the processor-type field of a file
// can be passed as read.
bool isDvsProcTypeSupported(std::uint32_t code);
int convertDvsProcType(std::uint32_t code);

// Matches the whole of `name` against the device names regardless of case.
// On a match the number is stored through `procType` (when not null).
bool convertDvsProcName(std::string_view name, int* procType);

// The device's name for a device code, or an empty view when no device has
// the code; for tools that describe files rather than link them.
std::string_view findDvsProcName(std::uint32_t code);

// Data addresses split into a bank number and the offset within the bank;
// the bank number is truncated to 16 bits.
std::uint16_t getDataBankNumber(int procType, std::uint32_t address);
std::uint16_t getDataBankOffset(int procType, std::uint32_t address);
// Whether a data address is a general-purpose register. Only the offset in
// the bank decides, so the answer repeats in every bank.
bool isGpr(int procType, std::uint32_t address);

// Bits per program and per data location.
std::uint16_t getRomWidth(int procType);
std::uint16_t getRamWidth(int procType);

std::uint32_t getNumberOfPages(int procType);
std::uint32_t getProgramLocations(int procType);
std::uint32_t getLocationsPerPage(int procType);

std::uint32_t getNumberOfBanks(int procType);
std::uint32_t getDataLocations(int procType);
std::uint32_t getLocationsPerBank(int procType);

// The largest addresses the family's instructions and tables can express,
// whatever the device's own memory sizes.
std::uint32_t getMaxROMAddr(int procType);
std::uint32_t getMaxRAMAddr(int procType);

// One row of the table, as a device file gives it. `firstGpr` is the bank
// offset of the first general-purpose register, as listDevices shows it.
struct DeviceRow {
  std::string name;
  std::uint16_t code = 0;
  int instSet = 0;
  std::uint32_t programLocations = 0;
  std::uint32_t dataLocations = 0;
  std::uint32_t firstGpr = 0;
};
// The instruction set of a family name as listDevices writes it, or 0.
int findInstSet(std::string_view familyName);
// Why `row` cannot be a device of its family, or empty when it can: the
// checks every built-in row passes.
std::string checkDeviceRow(const DeviceRow& row);
// Adds a row that checkDeviceRow accepted. A row with a built-in device's
// code takes that device's place and number, and `replaced` gets the old
// name; otherwise it gets the next number. False with `error` set when the
// code or the name (regardless of case) is another device's.
bool addDevice(const DeviceRow& row, std::string& replaced, std::string& error);

// One line per device in table order, after '#' header lines: name, device
// code, family, program locations, data locations and the bank offset of the
// first general-purpose register, the numbers in hexadecimal.
void listDevices(std::ostream& out);

}  // namespace tarsil
