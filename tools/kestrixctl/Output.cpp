// Text and JSON renderings of kestrixctl's results.
#include "tools/kestrixctl/Output.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/Utf16.h"

namespace kestrix::ctl {

std::string JsonEscape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string Hex(const void* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

bool ParseHex(std::string_view text, std::vector<uint8_t>* out) {
  out->clear();
  int pending = -1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ':') {
      continue;
    }
    if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && pending < 0) {
      ++i;
      continue;
    }
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) {
      return false;
    }
    if (pending < 0) {
      pending = v;
    } else {
      out->push_back(static_cast<uint8_t>(pending << 4 | v));
      pending = -1;
    }
  }
  return pending < 0;
}

std::string IdentifyText(const _DEVICE_INFO& record, std::size_t offset, std::size_t chars) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  std::string out;
  for (std::size_t k = 0; k < chars; ++k) {
    // ATA text puts the first character of each pair in the word's high byte, which comes second in memory.
    const uint8_t c = bytes[offset + (k ^ 1)];
    out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return out;
}

bool IsEmptyRecord(const _DEVICE_INFO& record) {
  static const _DEVICE_INFO kZero{};
  return std::memcmp(&record, &kZero, sizeof(record)) == 0;
}

namespace {

std::string Trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  std::size_t b = 0;
  while (b < s.size() && s[b] == ' ') ++b;
  return s.substr(b);
}

}  // namespace

std::string DeviceInfoJson(const _DEVICE_INFO& r) {
  std::string out = "{";
  out += "\"nPhysicalDrive\":" + std::to_string(r.nPhysicalDrive);
  out += ",\"dwLogicalDrives\":" + std::to_string(r.dwLogicalDrives);
  out += ",\"model\":\"" + JsonEscape(Trimmed(IdentifyText(r, kIdentifyModelOffset, 40))) + "\"";
  out += ",\"serial\":\"" + JsonEscape(Trimmed(IdentifyText(r, kIdentifySerialOffset, 20))) + "\"";
  out += ",\"revision\":\"" + JsonEscape(Trimmed(IdentifyText(r, kIdentifyRevisionOffset, 8))) + "\"";
  out += ",\"StorageNumber\":{\"DeviceType\":" + std::to_string(r.StorageNumber.DeviceType) +
         ",\"DeviceNumber\":" + std::to_string(r.StorageNumber.DeviceNumber) +
         ",\"PartitionNumber\":" + std::to_string(r.StorageNumber.PartitionNumber) + "}";
  out += ",\"nMatch\":" + std::to_string(r.nMatch);
  out += ",\"szFWFile\":\"" + JsonEscape(ToUtf8(FieldText(r.szFWFile, 261))) + "\"";
  out += ",\"szNewRev\":\"" + JsonEscape(ToUtf8(FieldText(r.szNewRev, 9))) + "\"";
  out += ",\"nNative\":" + std::to_string(r.nNative);
  out += ",\"DiskLength\":" + std::to_string(r.DiskLength);
  out += ",\"IdentifyData\":\"" + Hex(r.IdentifyData, sizeof(r.IdentifyData)) + "\"";
  out += "}";
  return out;
}

std::string DeviceInfoText(const _DEVICE_INFO& r) {
  std::string letters;
  for (int k = 0; k < 26; ++k) {
    if (r.dwLogicalDrives & (1u << k)) {
      letters += static_cast<char>('A' + k);
      letters += ": ";
    }
  }
  std::string out;
  out += "  physical drive  " + std::to_string(r.nPhysicalDrive) + "\n";
  out += "  model           " + Trimmed(IdentifyText(r, kIdentifyModelOffset, 40)) + "\n";
  out += "  serial          " + Trimmed(IdentifyText(r, kIdentifySerialOffset, 20)) + "\n";
  out += "  revision        " + Trimmed(IdentifyText(r, kIdentifyRevisionOffset, 8)) + "\n";
  out += "  drive letters   " + (letters.empty() ? std::string("(none)") : Trimmed(letters)) + "\n";
  out += "  size            " + std::to_string(r.DiskLength) + " bytes\n";
  out += "  verdict         " + std::to_string(r.nMatch) +
         (r.nMatch == 0 ? " (new firmware available)" : r.nMatch == 1 ? " (newest firmware)" : r.nMatch == 2 ? " (not updatable)" : "") + "\n";
  out += "  new revision    " + ToUtf8(FieldText(r.szNewRev, 9)) + "\n";
  out += "  firmware file   " + ToUtf8(FieldText(r.szFWFile, 261)) + "\n";
  return out;
}

}  // namespace kestrix::ctl
