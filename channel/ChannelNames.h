// The names of the command channel's kernel objects.
#pragma once

#include <string>

namespace kestrix {

/// The service's name, which fills the channel's name formats.
inline constexpr char16_t kServiceName[] = u"KestrixSvc";

/// The name the command mutex's format is filled with.
inline constexpr char16_t kMutexBaseName[] = u"2018KestrixSvc";

/// "Global\%sEvent": the command event.
inline std::u16string CommandEventName() { return std::u16string(u"Global\\") + kServiceName + u"Event"; }

/// "Global\%sEndEvent": the end event by which the service answers.
inline std::u16string EndEventName() { return std::u16string(u"Global\\") + kServiceName + u"EndEvent"; }

/// "Global\%sMem": the shared block.
inline std::u16string SharedBlockName() { return std::u16string(u"Global\\") + kServiceName + u"Mem"; }

/// "Global\%sCmdMutex" with "2018KestrixSvc": the mutex by which clients take turns.
inline std::u16string CommandMutexName() { return std::u16string(u"Global\\") + kMutexBaseName + u"CmdMutex"; }

}  // namespace kestrix
