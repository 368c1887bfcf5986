// Conversions between the system's UTF-16 texts and the UTF-8 of the host, and fixed-size text fields.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrix {

/// Converts UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);

/// Converts UTF-8 to UTF-16; an invalid byte sequence becomes U+FFFD.
std::u16string FromUtf8(std::string_view text);

/// Length of a zero-terminated text inside a field of `capacity` characters; `capacity` when no
/// terminator lies inside the field (a field a peer filled to the brim is never read beyond its end).
std::size_t FieldLength(const char16_t* field, std::size_t capacity);

/// The text of a fixed-size field, up to its terminator or the end of the field.
std::u16string FieldText(const char16_t* field, std::size_t capacity);

/// Writes `text` into a field of `capacity` characters, cut to capacity - 1 characters, with its
/// terminator; the rest of the field is zero-filled. Returns false when the text had to be cut.
bool SetFieldText(char16_t* field, std::size_t capacity, std::u16string_view text);

/// ASCII-only case folding (A-Z), as the system's whole-string comparisons use it.
bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace kestrix
