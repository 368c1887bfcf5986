// Printing kestrixctl's results as text or JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/DeviceInfo.h"

namespace kestrix::ctl {

/// Escapes a text for a JSON string literal (without the quotes).
std::string JsonEscape(std::string_view text);

/// Lowercase hex of `size` bytes, without separators.
std::string Hex(const void* data, std::size_t size);

/// Parses hex digits, ignoring white space and an optional "0x"; false on an odd count or a stray character.
bool ParseHex(std::string_view text, std::vector<uint8_t>* out);

/// The IDENTIFY text at `offset` of a record: byte pairs swapped, `chars` characters, nothing trimmed.
std::string IdentifyText(const _DEVICE_INFO& record, std::size_t offset, std::size_t chars);

/// One drive record as a JSON object, or as indented text lines.
std::string DeviceInfoJson(const _DEVICE_INFO& record);
std::string DeviceInfoText(const _DEVICE_INFO& record);

/// True when all bytes of the record are zero (an index outside the drive list).
bool IsEmptyRecord(const _DEVICE_INFO& record);

}  // namespace kestrix::ctl
