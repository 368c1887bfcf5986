// Boot-time update scheduling: the scheduling values in the service key, the boot-time program's entry in the
// Session Manager's BootExecute list, their removal at each service start, and the removal of a stored result.
//
// Both keys are opened for reading and writing and never created: where a key is missing nothing is written.
// REG_SZ values are stored without their terminating zero (length = characters x 2). BootExecute is a
// REG_MULTI_SZ list: entries each ended by a zero character, the whole ended by one more; an entry is one whole
// string, compared without regard to the case of A to Z. No operation here reports a failure to a client.
#pragma once

#include <cstdint>
#include <string_view>

#include "channel/CommandBlock.h"

namespace kestrix {

/// Command 242: writes FW_NtApp, FW_Serial, FW_CurRev, FW_NewRev, FW_Model and FW_FWFile from the block's six
/// texts, in that order, stopping at the first write that fails; only when all six were written, appends
/// szBootApp to BootExecute. Each text is taken up to its terminator or the end of its field. A szBootApp with
/// no terminator inside its field is refused (nothing is written): the service start reads FW_NtApp back into
/// 260 characters and could never take such an entry out of BootExecute again.
void ScheduleBootUpdate(const ScheduleBootUpdateBlock& block);

/// Appends `entry` (up to its first zero character, if it holds one) to BootExecute, after the entries that
/// precede the list's first empty string; a missing value counts as an empty list. An equal entry already in
/// the list does not prevent the append. Returns 1 when BootExecute was written; 0 when the Session Manager
/// key cannot be opened or an existing value cannot be read, and then BootExecute is unchanged.
int AddBootExecute(std::u16string_view entry);

/// Writes BootExecute back without every entry that equals `entry` as a whole string (A to Z without regard
/// to case; an entry that merely contains it is kept). A list left without entries is one zero character.
/// Returns 1 when BootExecute was written; 0 when the key cannot be opened or the value is missing or cannot
/// be read, and then BootExecute is unchanged.
int RemoveBootExecute(std::u16string_view entry);

/// The first step of every service start: reads FW_Shutdown (0 when missing or unreadable), removes the entry
/// that FW_NtApp names from BootExecute (nothing when FW_NtApp is missing or empty), and deletes FW_NtApp,
/// FW_Serial, FW_CurRev, FW_NewRev, FW_Model, FW_FWFile and FW_Shutdown. *shutdown (may be null) receives the
/// FW_Shutdown value, 0 when the service key cannot be opened. Returns 1 when the service key was opened, else 0.
/// The caller shuts the PC down when *shutdown is 1.
int FinishBootUpdate(uint32_t* shutdown);

/// Enables the shutdown privilege for the calling thread, which must be the one that then calls
/// platform::ExitWindowsEx. Returns 1 when it is enabled afterwards, else 0 (last error set).
int EnableShutdownPrivilege();

/// Command 243: deletes FW_Result, FW_Error and FW_UpdRev, in that order, passing over missing ones.
/// Returns 1 when the service key could be opened, else 0.
int ClearUpdateResult();

}  // namespace kestrix
