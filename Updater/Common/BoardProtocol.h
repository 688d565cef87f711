#pragma once

// The protocol of the boards behind the USB character devices, as cUSBInterrogator and
// cUSBDeviceUpdater speak it. The board firmware is not ours: these bytes are all we may assume.
//
// Frame head: the frame's length in bytes, head included, as 16 bits big-endian, then the
// command code. What follows belongs to the command.
//
// Queries, each answered at once with a fixed number of bytes and no status:
//   00 03 01                          version: 12 bytes of text, NUL-padded
//   00 03 20                          bootloader version: 4 bytes, least significant first
//   00 04 0A pin                      the pin's level: 1 byte, 0 low, 1 high
//   00 0B 02 00 00 00 01 n 10 00 00   board ID: 1 byte (the fixed bytes are the board's)
//
// Firmware transfer: every message of one transfer carries its update mode's command code, then
// a message type, in at most 512 bytes:
//   3 bootloader   nothing more; a bootloader image only, first of all
//   2 version      major, minor, 00; modes 2 and up, before the header
//   0 header       header checksum, image length, image checksum, then the image's first bytes
//   1 data         data checksum, then the image's next bytes
// Checksums are sums of bytes in 32 bits, sent big-endian like the length: the image checksum
// covers the whole image, the header checksum everything after it in its message (length, image
// checksum and image bytes), the data checksum the image bytes of its message.
//
// Status byte: the board answers every header and data message with one byte, STATUS_ACCEPTED
// or a refusal that ends the transfer. Bootloader and version messages get no answer.

#include <cstddef>

enum eBoardCommand : unsigned char
{
    COMMAND_VERSION = 0x01,
    COMMAND_BOARD_ID = 0x02,
    COMMAND_PORT_PIN = 0x0A,
    COMMAND_BOOTLOADER_VERSION = 0x20,
    COMMAND_UPDATE_MODE_0 = 0x0C,
    COMMAND_UPDATE_MODE_1 = 0x18,
    COMMAND_UPDATE_MODE_2 = 0x19, // and every mode above
};

enum eMessageType : unsigned char
{
    MESSAGE_HEADER = 0,
    MESSAGE_DATA = 1,
    MESSAGE_VERSION = 2,
    MESSAGE_BOOTLOADER = 3
};

constexpr std::size_t MAX_MESSAGE_SIZE = 512;
constexpr unsigned char STATUS_ACCEPTED = 0;
