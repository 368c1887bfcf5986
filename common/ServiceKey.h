// The service's registry key and the Session Manager key, as paths below HKEY_LOCAL_MACHINE.
#pragma once

namespace kestrix {

inline constexpr char16_t kServiceKeyPath[] = u"SYSTEM\\CurrentControlSet\\Services\\KestrixSvc";
inline constexpr char16_t kSessionManagerKeyPath[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

}  // namespace kestrix
